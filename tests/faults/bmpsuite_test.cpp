// Every file of the BMP Suite (tests/fuzz/corpus/bmp, its README says where they come from)
// through whole runs of both programs, once as the reference and once as a source. Each
// run must end in the outcome named for its file below: loaded, the fatal stop with its
// message (SIGABRT after the two fatal lines), or reported and skipped; never a crash, a
// sanitizer report on standard error or a hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
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

const std::map<std::string, Outcome>& expectedOutcomes() {
    static const std::map<std::string, Outcome> outcomes = [] {
        std::map<std::string, Outcome> m;
        for (const char* f : {"g/rgb24.bmp", "g/rgb24pal.bmp", "q/rgb24largepal.bmp", "q/rgb24lprof.bmp"})
            m[f] = kLoaded;
        for (const char* f :
             {"b/badpalettesize.bmp", "b/pal8badindex.bmp", "g/pal8-0.bmp", "g/pal8.bmp", "g/pal8gs.bmp",
              "g/pal8nonsquare.bmp", "g/pal8topdown.bmp", "g/pal8v4.bmp", "g/pal8v5.bmp", "g/pal8w124.bmp",
              "g/pal8w125.bmp", "g/pal8w126.bmp", "q/pal8offs.bmp", "q/pal8os2v2-16.bmp", "q/pal8os2v2-40sz.bmp",
              "q/pal8os2v2-sz.bmp", "q/pal8os2v2.bmp", "q/pal8oversizepal.bmp"})
            m[f] = kLoadedWithoutPixels;
        for (const char* f : {"b/badrle.bmp",       "b/badrle4.bmp",        "b/badrle4bis.bmp",  "b/badrle4ter.bmp",
                              "b/badrlebis.bmp",    "b/badrleter.bmp",      "b/rgb16-880.bmp",   "b/rletopdown.bmp",
                              "g/pal4rle.bmp",      "g/pal8os2.bmp",        "g/pal8rle.bmp",     "g/rgb16-565.bmp",
                              "g/rgb16-565pal.bmp", "g/rgb16bfdef.bmp",     "g/rgb32bf.bmp",     "g/rgb32bfdef.bmp",
                              "q/pal1huffmsb.bmp",  "q/pal4rlecut.bmp",     "q/pal4rletrns.bmp", "q/pal8os2-hs.bmp",
                              "q/pal8os2-sz.bmp",   "q/pal8os2sp.bmp",      "q/pal8rlecut.bmp",  "q/pal8rletrns.bmp",
                              "q/rgb16-231.bmp",    "q/rgb16-3103.bmp",     "q/rgb24jpeg.bmp",   "q/rgb24png.bmp",
                              "q/rgb24rle24.bmp",   "q/rgb32-111110.bmp",   "q/rgb32-7187.bmp",  "q/rgb32-xbgr.bmp",
                              "q/rgb32h52.bmp",     "q/rgba16-1924.bmp",    "q/rgba16-4444.bmp", "q/rgba16-5551.bmp",
                              "q/rgba32-1.bmp",     "q/rgba32-1010102.bmp", "q/rgba32-2.bmp",    "q/rgba32-61754.bmp",
                              "q/rgba32-81284.bmp", "q/rgba32abf.bmp",      "q/rgba32h56.bmp"})
            m[f] = kCompressed;
        for (const char* f :
             {"b/badbitcount.bmp",    "b/badbitssize.bmp", "b/baddens1.bmp", "b/baddens2.bmp",  "b/badfilesize.bmp",
              "b/badheadersize.bmp",  "b/badplanes.bmp",   "b/badwidth.bmp", "b/shortfile.bmp", "g/pal1.bmp",
              "g/pal1bg.bmp",         "g/pal1wb.bmp",      "g/pal4.bmp",     "g/pal4gs.bmp",    "g/rgb16.bmp",
              "g/rgb32.bmp",          "q/pal1p1.bmp",      "q/pal2.bmp",     "q/pal2color.bmp", "q/rgb16faketrns.bmp",
              "q/rgb32fakealpha.bmp", "q/rgba64.bmp"})
            m[f] = kUnsupported;
        m["b/reallybig.bmp"] = kTooLarge;
        return m;
    }();
    return outcomes;
}

// The suite's files, as paths relative to the corpus folder (g/, q/ and b/ only).
std::vector<std::string> suiteFiles() {
    std::vector<std::string> files;
    for (const char* folder : {"g", "q", "b"})
        for (const auto& entry : fs::directory_iterator(fs::path(KAL_BMPSUITE_DIR) / folder))
            if (entry.path().extension() == ".bmp")
                files.push_back(std::string(folder) + "/" + entry.path().filename().string());
    std::sort(files.begin(), files.end());
    return files;
}

using Case = std::tuple<Program, std::string>;
using BmpSuiteRun = WholeRun<Case>;

TEST_P(BmpSuiteRun, AsTheReferenceAndAsASourceItIsLoadedSkippedOrStopsTheRun) {
    const std::string& file = std::get<1>(GetParam());
    const auto found = expectedOutcomes().find(file);
    ASSERT_NE(found, expectedOutcomes().end()) << file << " has no expected outcome";
    const Outcome outcome = found->second;
    fs::copy_file(fs::path(KAL_BMPSUITE_DIR) / file, dir / "in.bmp");
    writeOwnedImage(dir / "frame.bmp", syntheticFrame(96, 72, 0, 0, 0));
    std::string loading = "Chargement du fichier in.bmp";
    if (outcome == kLoadedWithoutPixels)
        for (int i = 0; i < 100; ++i) loading += "La sauvegarde en N&B n'est pas encore possible\n";
    const char* const refusals[] = {"", "", "Fichier BMP compresse: chargement impossible\n",
                                    "Erreur fatale: mode d'image non supporte\n",
                                    "Erreur : image trop grande (3000000 x 2000000 pixels; limite 65535 de cote, "
                                    "268435456 en tout)\n"};
    RunOptions options;
    options.input = "\n";
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
            EXPECT_NE(r.out.find("Sauvegarde d'une image out.bmp FIN\n"), std::string::npos);
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

INSTANTIATE_TEST_SUITE_P(Suite, BmpSuiteRun, ::testing::Combine(KAL_BOTH_PROGRAMS, ::testing::ValuesIn(suiteFiles())),
                         caseName);

// Each file runs above only if it has an expected outcome: none is left without one.
TEST(BmpSuite, EveryExpectedOutcomeHasItsFile) {
    EXPECT_EQ(suiteFiles().size(), 88u);
    EXPECT_EQ(expectedOutcomes().size(), 88u);
}

}   // namespace
