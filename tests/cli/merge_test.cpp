// Runs split into parts whose raw sums ("Sommes") kalvorine-merge adds up: every composite
// file byte-identical to the one run over all the frames, whatever the split, the order of
// the parts and the shape of the merge tree; and the parts it refuses, writing nothing.
// One process, so that the frames are made and the whole runs done once for all checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/whole_run.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFrames = 301;   // beyond 126: the 16-bit files hold the sums scaled by 127/n
constexpr std::int32_t kWidth = 24, kHeight = 16;
const Program kPrograms[] = {{"kalvorine", KAL_PROGRAM}, {"kalvorine_sse", KAL_PROGRAM_SSE, true}};
using Parts = std::vector<std::pair<int, int>>;   // first and last frame of each part
using Bytes = std::vector<std::uint8_t>;

class SplitRuns : public ::testing::Test {
protected:
    static inline TempDir* dir = nullptr;

    // frames/ref.bmp and frames/f1.bmp .. f301.bmp, small turns and shifts of one scene;
    // then the whole run of each program in whole-<program>/.
    static void SetUpTestSuite() {
        dir = new TempDir;
        fs::create_directory(*dir / "frames");
        writeOwnedImage(*dir / "frames/ref.bmp", syntheticFrame(kWidth, kHeight, 0, 0, 0));
        for (int i = 1; i <= kFrames; ++i)
            writeOwnedImage(*dir / ("frames/f" + std::to_string(i) + ".bmp"),
                            syntheticFrame(kWidth, kHeight, 0.4 * (i % 5 - 2), 0.7 * (i % 7 - 3), 0.9 * (i % 3 - 1)));
        for (const Program& p : kPrograms)
            run(p, std::string("whole-") + p.name, "../frames/ref.bmp", {1, kFrames}, "Compositage sum.bmp\n");
    }
    static void TearDownTestSuite() { delete dir; }

    // Runs the program on a range of frames in folder (made here) with "Sommes sums.fit".
    static std::string run(const Program& p, const std::string& folder, const std::string& reference,
                           std::pair<int, int> range, const std::string& extra = "") {
        fs::create_directories(*dir / folder);
        writeText(*dir / folder / "script.txt", "Reference " + reference + "\nSourcesbmp ../frames/f al " +
                                                    std::to_string(range.first) + " " + std::to_string(range.second) +
                                                    "\nAngle -1 1 0.5\nTranslation 2 1\n" + extra +
                                                    "Sommes sums.fit\nQuitter \n");
        const RunResult r = runProgram(p.path, {"script.txt"}, *dir / folder);
        EXPECT_TRUE(r.exitedWith(0)) << p.name << " in " << folder << ":\n" << r.out;
        return (*dir / folder / "sums.fit").string();
    }
    // Each part in its own folder <prefix>1, <prefix>2, ...; one part also writes its own
    // composite: the sums are the same with or without it.
    static std::vector<std::string> runParts(const Program& p, const std::string& prefix, const Parts& parts) {
        std::vector<std::string> sums;
        for (std::size_t k = 0; k < parts.size(); ++k)
            sums.push_back(run(p, prefix + std::to_string(k + 1), "../frames/ref.bmp", parts[k],
                               k == 1 ? "Compositage part.bmp\n" : ""));
        return sums;
    }
    static RunResult merge(const std::string& stem, std::vector<std::string> parts) {
        parts.insert(parts.begin(), stem);
        return runProgram(KAL_MERGE_PROGRAM, parts, dir->path);
    }
    // A merge that succeeds, and unless it is partial its four composite files byte for byte
    // those of the whole run.
    static RunResult expectWholeRunFiles(const Program& p, const std::string& stem,
                                         const std::vector<std::string>& parts, bool partial = false) {
        const RunResult r = merge(stem, parts);
        EXPECT_TRUE(r.exitedWith(0)) << r.out;
        for (const char* suffix : {"R.fit", "V.fit", "B.fit", ".bmp"}) {
            if (partial) break;
            EXPECT_TRUE(readFile(*dir / (stem + suffix)) ==
                        readFile(*dir / ("whole-" + std::string(p.name)) / (std::string("sum") + suffix)))
                << stem + suffix;
        }
        return r;
    }
    // How many files and folders the test suite has made so far.
    static long made() { return std::distance(fs::recursive_directory_iterator(dir->path), {}); }
};

// The merged sums file holds the whole run's sums (the data after the header block) and
// counts; its NRUNS tells how many runs they came from.
void expectSameSums(const fs::path& merged, const fs::path& whole, int runs) {
    const std::string a = readText(merged), b = readText(whole);
    EXPECT_TRUE(a.size() > 2880 && a.substr(2880) == b.substr(2880)) << merged << " and " << whole << " differ";
    for (const char* card : {"NLISTED =                  301 /", "NADDED  =                  301 /"})
        EXPECT_NE(a.find(card), std::string::npos) << card;
    EXPECT_NE(a.find("NRUNS   =                    " + std::to_string(runs) + " /"), std::string::npos);
}

TEST_F(SplitRuns, EverySplitMergedInAnyOrderOrAsATreeGivesTheWholeRunsFiles) {
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        const std::string tag = p.name;
        const std::vector<std::string> three = runParts(p, tag + "-three-", {{1, 140}, {141, 149}, {150, kFrames}});
        expectWholeRunFiles(p, tag + "-three", {three[1], three[2], three[0]});
    }
    const Program& p = kPrograms[0];   // the other splits with one program: it is the same code
    const std::string wholeSums = (*dir / "whole-kalvorine/sums.fit").string();
    expectWholeRunFiles(p, "alone", {wholeSums});

    const std::vector<std::string> seven =
        runParts(p, "seven-", {{1, 3}, {4, 60}, {61, 61}, {62, 150}, {151, 200}, {201, 290}, {291, kFrames}});
    expectWholeRunFiles(p, "t1", {seven[6], seven[0], seven[3]}, true);
    expectWholeRunFiles(p, "t2", {seven[1], seven[5]}, true);
    expectWholeRunFiles(p, "t3", {seven[2], seven[4]}, true);
    const RunResult r = expectWholeRunFiles(p, "seven", {*dir / "t2S.fit", *dir / "t3S.fit", *dir / "t1S.fit"});
    expectSameSums(*dir / "sevenS.fit", wholeSums, 7);
    EXPECT_TRUE(endsWith(r.out, "Fin de la fusion : 301 images listees, 301 ajoutees, 7 execution(s)\n")) << r.out;
}

Bytes replaced(Bytes f, const std::string& from, const std::string& to) {
    const std::size_t at = std::string(f.begin(), f.begin() + 2880).find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) std::copy(to.begin(), to.end(), f.begin() + long(at));
    return f;
}

// Bad parts and bad merges: the exit code and the message, and nothing written.
TEST_F(SplitRuns, BadPartsAreRefusedAndNothingIsWritten) {
    const std::vector<std::string> parts = runParts(kPrograms[0], "refused-", {{1, 97}, {98, kFrames}});
    const std::string same = run(kPrograms[0], "same", "../frames/ref.bmp", {1, 2});
    // Same name and size, other pixels; a narrower reference; same pixels, other reference point.
    fs::create_directories(*dir / "other");
    writeOwnedImage(*dir / "other/ref.bmp", syntheticFrame(kWidth, kHeight, 0, 0, 0, 2));
    writeOwnedImage(*dir / "other/narrow.bmp", syntheticFrame(kWidth - 4, kHeight, 0, 0, 0));
    const std::string pixels = run(kPrograms[0], "pixels", "../other/ref.bmp", {3, 4});
    const std::string narrow = run(kPrograms[0], "narrow", "../other/narrow.bmp", {3, 4});
    const std::string point = run(kPrograms[0], "point", "../frames/ref.bmp 10 8", {3, 4});

    const Bytes good = readFile(parts[0]);
    Bytes changedSum = good, longer = good;
    changedSum[2880 + 4 * 100 + 3] ^= 1;
    longer.resize(good.size() + 2880, 0);
    const std::pair<std::string, Bytes> damaged[] = {
        {"fichier tronque ou endommage (7640 octets ; un fichier FITS en compte un multiple de 2880)",
         Bytes(good.begin(), good.end() - 1000)},
        {"fichier tronque (5760 octets au lieu de 8640)", Bytes(good.begin(), good.end() - 2880)},
        {"donnees inattendues apres les sommes (extension d'un type d'accumulateur inconnu ?)", longer},
        {"en-tete invalide (BITPIX absent ou hors limites)",
         replaced(good, "BITPIX  =                   32", "BITPIX  =                   16")},
        {"en-tete invalide (caractere non ASCII)", replaced(good, "END   ", "ENDE  ")},
        {"type d'accumulateur inconnu (KALKIND = 'EMPILEMENT')", replaced(good, "'COMPOSITE' ", "'EMPILEMENT'")},
        {"fichier endommage (sommes de controle DATASUM/CHECKSUM fausses)",
         replaced(good, "  97 / frames listed", "  98 / frames listed")},
        {"fichier endommage (sommes de controle DATASUM/CHECKSUM fausses)", changedSum},
    };
    struct Case {
        std::vector<std::string> parts;
        int exitCode;
        std::string message;
        std::string stem = "out";
    };
    const std::string unwritten = "Erreur : impossible de creer le fichier nowhere/out";   // then the file's suffix
    // clang-format off
    std::vector<Case> cases = {
        {{parts[0], (*dir / "nowhere.fit").string()}, 1, "impossible d'ouvrir le fichier"},
        {{parts[0]}, 1,
         unwritten + "S.fit\nSauvegarde de l'image compositee : nowhere/out.bmp\n" + unwritten + "R.fit\n" + unwritten +
         "V.fit\n" + unwritten + "B.fit\n"
         "Sauvegarde d'une image nowhere/out.bmp ERREUR : impossible de creer le fichier\n"
         "Fin de la fusion : 97 images listees, 97 ajoutees, 1 execution(s) ; des fichiers n'ont pas pu etre ecrits\n",
         "nowhere/out"},
        {{}, 2, "Erreur : aucune partie a fusionner\nUsage : kalvorine-merge nom_de_sortie partie1.fit [partie2.fit"},
        {{same, pixels}, 1, "n'ont pas la meme reference (meme nom et meme taille, mais pixels differents)\n"},
        {{same, narrow}, 1, "n'ont pas la meme reference (taille 24x16 et 20x16)\n"},
        {{same, point}, 1, "n'ont pas la meme reference (point de reference (12, 8) et (10, 8))\n"},
    };
    // clang-format on
    fs::create_directory(*dir / "damaged");
    for (std::size_t k = 0; k < std::size(damaged); ++k) {
        const std::string bad = (*dir / "damaged" / (std::to_string(k) + ".fit")).string();
        writeFile(bad, damaged[k].second);
        const std::string message = "Erreur : partie " + bad + " : " + damaged[k].first;
        cases.push_back({{parts[1], bad}, 1, message + "\nFusion abandonnee : aucun fichier ecrit\n"});
    }
    const long before = made();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const RunResult r = merge(c.stem, c.parts);
        EXPECT_TRUE(r.exitedWith(c.exitCode)) << r.exitCode;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_EQ(made(), before);
    }
}

}   // namespace
