// Every file of the BMP Suite (tests/fuzz/corpus/bmp, its README says where they come from)
// through whole runs of both programs, once as the reference and once as a source. Each
// run must end in the outcome named for its file below: loaded, the fatal stop with its
// message (SIGABRT after the two fatal lines), or reported and skipped; never a crash, a
// sanitizer report on standard error or a hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/whole_run.h"

namespace fs = std::filesystem;

namespace {

enum Outcome {
    kLoaded,                // 24 bits, no compression
    kLoadedWithoutPixels,   // 8 bits, no compression: all-invalid image, 100 notice lines
    kCompressed,            // compression field not 0 (OS/2 files put palette bytes there)
    kUnsupported,           // any other depth
    kTooLarge,              // beyond 65,535 pixels a side
};

// The suite's files (g/, q/ and b/, without ".bmp"), by the outcome of their run.
const char* const kFilesByOutcome[] = {
    "g/rgb24 g/rgb24pal q/rgb24largepal q/rgb24lprof",
    "b/badpalettesize b/pal8badindex g/pal8-0 g/pal8 g/pal8gs g/pal8nonsquare g/pal8topdown g/pal8v4 "
    "g/pal8v5 g/pal8w124 g/pal8w125 g/pal8w126 q/pal8offs q/pal8os2v2-16 q/pal8os2v2-40sz q/pal8os2v2-sz "
    "q/pal8os2v2 q/pal8oversizepal",
    "b/badrle b/badrle4 b/badrle4bis b/badrle4ter b/badrlebis b/badrleter b/rgb16-880 b/rletopdown g/pal4rle "
    "g/pal8os2 g/pal8rle g/rgb16-565 g/rgb16-565pal g/rgb16bfdef g/rgb32bf g/rgb32bfdef q/pal1huffmsb "
    "q/pal4rlecut q/pal4rletrns q/pal8os2-hs q/pal8os2-sz q/pal8os2sp q/pal8rlecut q/pal8rletrns q/rgb16-231 "
    "q/rgb16-3103 q/rgb24jpeg q/rgb24png q/rgb24rle24 q/rgb32-111110 q/rgb32-7187 q/rgb32-xbgr q/rgb32h52 "
    "q/rgba16-1924 q/rgba16-4444 q/rgba16-5551 q/rgba32-1 q/rgba32-1010102 q/rgba32-2 q/rgba32-61754 "
    "q/rgba32-81284 q/rgba32abf q/rgba32h56",
    "b/badbitcount b/badbitssize b/baddens1 b/baddens2 b/badfilesize b/badheadersize b/badplanes b/badwidth "
    "b/shortfile g/pal1 g/pal1bg g/pal1wb g/pal4 g/pal4gs g/rgb16 g/rgb32 q/pal1p1 q/pal2 q/pal2color "
    "q/rgb16faketrns q/rgb32fakealpha q/rgba64",
    "b/reallybig",
};

using Case = std::tuple<Program, std::string, Outcome>;
std::vector<Case> cases() {
    std::vector<Case> all;
    for (const Program& p : {Program{"kalvorine", KAL_PROGRAM, false}, Program{"kalvorine_sse", KAL_PROGRAM_SSE, true}})
        for (int outcome = kLoaded; outcome <= kTooLarge; ++outcome) {
            std::istringstream names(kFilesByOutcome[outcome]);
            for (std::string name; names >> name;) all.emplace_back(p, name + ".bmp", Outcome(outcome));
        }
    return all;
}

using BmpSuiteRun = WholeRun<Case>;

TEST_P(BmpSuiteRun, AsTheReferenceAndAsASourceItIsLoadedSkippedOrStopsTheRun) {
    const auto& [program, file, outcome] = GetParam();
    fs::copy_file(fs::path(KAL_BMPSUITE_DIR) / file, dir / "in.bmp");
    writeOwnedImage(dir / "frame.bmp", syntheticFrame(96, 72, 0, 0, 0));
    std::string loading = "Chargement du fichier in.bmp";
    if (outcome == kLoadedWithoutPixels)
        for (int i = 0; i < 100; ++i) loading += "La sauvegarde en N&B n'est pas encore possible\n";
    const char* const refusals[] = {"", "", "Fichier BMP compresse: chargement impossible\n",
                                    "Erreur fatale: mode d'image non supporte\n",
                                    "Erreur : image trop grande (3000000 x 2000000 pixels; limite 65535 de cote, "
                                    "268435456 en tout)\n"};
    const RunOptions options{.input = "\n"};
    for (const bool asReference : {true, false}) {
        SCOPED_TRACE(asReference ? "as the reference" : "as a source");
        for (const char* f : {"out.bmp", "sum.bmp"}) fs::remove(dir / f);
        const RunResult r = runScript(std::string(asReference ? "Reference in.bmp\nSource frame.bmp out.bmp\n"
                                                              : "Reference frame.bmp\nSource in.bmp out.bmp\n") +
                                          "Angle -1 1 1\nTranslation 2 1\nCompositage sum.bmp\n",
                                      options);
        if (outcome == kLoaded || outcome == kLoadedWithoutPixels) {
            EXPECT_TRUE(r.exitedWith(0));
            EXPECT_NE(r.out.find(loading + (asReference ? "\n***" : "Ajustement global")), std::string::npos);
            EXPECT_TRUE(endsWith(r.out,
                                 "Sauvegarde d'une image sum.bmp FIN\n\n"
                                 "Temps pour l'ensemble du calcul: # secondes\nFin de l'execution de Kalvorine\n"))
                << r.out;
        } else if (outcome == kTooLarge && !asReference) {   // reported and skipped: on to the composite
            EXPECT_TRUE(r.exitedWith(0));
            EXPECT_NE(r.out.find(loading + refusals[outcome] + "Sauvegarde de l'image compositee"), std::string::npos)
                << r.out;
            EXPECT_TRUE(fs::exists(dir / "sum.bmp"));
        } else {
            EXPECT_TRUE(r.aborted()) << "exit " << r.exitCode << " signal " << r.signal;
            EXPECT_TRUE(endsWith(r.out, loading + refusals[outcome] + kFatalLines)) << r.out;
        }
        EXPECT_EQ(fs::exists(dir / "out.bmp"), outcome == kLoaded || outcome == kLoadedWithoutPixels);
    }
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name = std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param);
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Suite, BmpSuiteRun, ::testing::ValuesIn(cases()), caseName);

// Every file of the suite (g/, q/ and b/ hold nothing else) has its outcome above; each file
// named there exists, or its runs fail.
TEST(BmpSuite, EveryFileHasAnExpectedOutcome) {
    std::ptrdiff_t files = 0;
    for (const char* folder : {"g", "q", "b"})
        files += std::distance(fs::directory_iterator(fs::path(KAL_BMPSUITE_DIR) / folder), {});
    EXPECT_EQ(files, 88);
    EXPECT_EQ(std::ptrdiff_t(cases().size()), 2 * files);
}

}   // namespace
