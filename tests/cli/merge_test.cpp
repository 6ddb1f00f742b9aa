// Runs split into parts whose raw sums ("Sommes") kalvorine-merge adds up: every composite
// file byte-identical to the one run over all the frames, whatever the split, the order of
// the parts and the shape of the merge tree; and the parts it refuses, writing nothing.
// One process, so that the frames are made and the whole runs done once for all checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/whole_run.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFrames = 301;   // beyond 126: the 16-bit files hold the sums scaled by 127/n
constexpr std::int32_t kWidth = 24, kHeight = 16;
const char* const kCompositeSuffixes[] = {"R.fit", "V.fit", "B.fit", ".bmp"};

const Program kPrograms[] = {{"kalvorine", KAL_PROGRAM}, {"kalvorine_sse", KAL_PROGRAM_SSE, true}};

using Range = std::pair<int, int>;   // first and last frame of a part

// Uneven splits of frames 1 .. kFrames into 2, 3 and 7 parts.
const std::vector<Range> kTwoParts = {{1, 97}, {98, kFrames}};
const std::vector<Range> kThreeParts = {{1, 140}, {141, 149}, {150, kFrames}};
const std::vector<Range> kSevenParts = {{1, 3}, {4, 60}, {61, 61}, {62, 150}, {151, 200}, {201, 290}, {291, kFrames}};

std::string script(const std::string& reference, int first, int last, const std::string& extra) {
    return "Reference " + reference + "\nSourcesbmp ../frames/f al " + std::to_string(first) + " " +
           std::to_string(last) + "\nAngle -1 1 0.5\nTranslation 2 1\n" + extra + "Quitter \n";
}

std::set<std::string> filesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
}

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
            run(p, std::string("whole-") + p.name, "../frames/ref.bmp", 1, kFrames,
                "Compositage sum.bmp\nSommes sums.fit\n");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    // Runs the program on frames first .. last in folder (made here), as a part would be run.
    static void run(const Program& p, const std::string& folder, const std::string& reference, int first, int last,
                    const std::string& extra) {
        fs::create_directories(*dir / folder);
        writeText(*dir / folder / "script.txt", script(reference, first, last, extra));
        const RunResult r = runProgram(p.path, {"script.txt"}, *dir / folder);
        ASSERT_TRUE(r.exitedWith(0)) << p.name << " in " << folder << ":\n" << r.out;
    }

    // Each range run in its own folder <prefix>1, <prefix>2, ... with "Sommes sums.fit".
    static std::vector<std::string> runParts(const Program& p, const std::string& prefix,
                                             const std::vector<Range>& parts) {
        std::vector<std::string> sums;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            const std::string folder = prefix + std::to_string(k + 1);
            // One part also writes its own composite: the sums are the same with or without it.
            const std::string extra = k == 1 ? "Compositage part.bmp\nSommes sums.fit\n" : "Sommes sums.fit\n";
            run(p, folder, "../frames/ref.bmp", parts[k].first, parts[k].second, extra);
            sums.push_back((*dir / folder / "sums.fit").string());
        }
        return sums;
    }

    static RunResult merge(const std::string& stem, const std::vector<std::string>& parts) {
        std::vector<std::string> args = {stem};
        args.insert(args.end(), parts.begin(), parts.end());
        return runProgram(KAL_MERGE_PROGRAM, args, dir->path);
    }

    // The four composite files of stem, byte for byte those of the whole run.
    static void expectWholeRunFiles(const Program& p, const std::string& stem) {
        for (const char* suffix : kCompositeSuffixes) {
            const fs::path whole = *dir / (std::string("whole-") + p.name) / (std::string("sum") + suffix);
            ASSERT_TRUE(fs::exists(*dir / (stem + suffix))) << stem + suffix;
            EXPECT_TRUE(readFile(*dir / (stem + suffix)) == readFile(whole))
                << stem + suffix << " differs from " << whole;
        }
    }
};

// The merged sums file holds the whole run's sums and counts; only NRUNS (and with it the
// checksum) tells how many runs they came from.
void expectSameSums(const fs::path& merged, const fs::path& whole, int runs) {
    std::vector<std::uint8_t> a = readFile(merged), b = readFile(whole);
    ASSERT_EQ(a.size(), b.size());
    auto card = [](std::vector<std::uint8_t>& f, const std::string& keyword) -> std::string {
        for (std::size_t at = 0; at + 80 <= 2880; at += 80)
            if (std::string(f.begin() + long(at), f.begin() + long(at + 8)).rfind(keyword, 0) == 0) {
                const std::string text(f.begin() + long(at), f.begin() + long(at + 80));
                std::fill(f.begin() + long(at), f.begin() + long(at + 80), ' ');
                return text;
            }
        return "";
    };
    EXPECT_NE(card(a, "NRUNS").find(std::to_string(runs) + " /"), std::string::npos);
    EXPECT_NE(card(b, "NRUNS").find(" 1 /"), std::string::npos);
    card(a, "CHECKSUM");
    card(b, "CHECKSUM");
    EXPECT_TRUE(a == b) << merged << " and " << whole << " differ beyond NRUNS and CHECKSUM";
}

TEST_F(SplitRuns, EverySplitMergedInAnyOrderOrAsATreeGivesTheWholeRunsFiles) {
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        const std::string tag = p.name;
        const fs::path wholeSums = *dir / ("whole-" + tag) / "sums.fit";

        const std::vector<std::string> three = runParts(p, tag + "-three-", kThreeParts);
        RunResult r = merge(tag + "-three", {three[1], three[2], three[0]});
        ASSERT_TRUE(r.exitedWith(0)) << r.out;
        expectWholeRunFiles(p, tag + "-three");
        if (&p != &kPrograms[0]) continue;   // the other splits with one program: it is the same code

        const std::vector<std::string> two = runParts(p, tag + "-two-", kTwoParts);
        r = merge(tag + "-two", {two[1], two[0]});
        ASSERT_TRUE(r.exitedWith(0)) << r.out;
        expectWholeRunFiles(p, tag + "-two");
        expectSameSums(*dir / (tag + "-twoS.fit"), wholeSums, 2);

        const std::vector<std::string> seven = runParts(p, tag + "-seven-", kSevenParts);
        ASSERT_TRUE(merge(tag + "-t1", {seven[6], seven[0], seven[3]}).exitedWith(0));
        ASSERT_TRUE(merge(tag + "-t2", {seven[1], seven[5]}).exitedWith(0));
        ASSERT_TRUE(merge(tag + "-t3", {seven[2], seven[4]}).exitedWith(0));
        const std::string t = (dir->path / tag).string();
        r = merge(tag + "-seven", {t + "-t2S.fit", t + "-t3S.fit", t + "-t1S.fit"});
        ASSERT_TRUE(r.exitedWith(0)) << r.out;
        expectWholeRunFiles(p, tag + "-seven");
        expectSameSums(*dir / (tag + "-sevenS.fit"), wholeSums, 7);
        EXPECT_NE(r.out.find("Fin de la fusion : 301 images listees, 301 ajoutees, 7 execution(s)\n"),
                  std::string::npos)
            << r.out;
    }
}

TEST_F(SplitRuns, TheWholeRunsSumsAloneGiveItsFilesBackAndTheRunSaysItWroteThem) {
    const fs::path whole = *dir / "whole-kalvorine";
    const RunResult r = merge("alone", {(whole / "sums.fit").string()});
    ASSERT_TRUE(r.exitedWith(0)) << r.out;
    expectWholeRunFiles(kPrograms[0], "alone");
    EXPECT_EQ(r.out, "Fusion de 1 partie(s) dans alone\nPartie 1 : " + (whole / "sums.fit").string() +
                         " (301 images listees, 301 ajoutees)\n"
                         "Sauvegarde des sommes du compositage : aloneS.fit\n"
                         "Sauvegarde de l'image compositee : alone.bmp\n"
                         "Sauvegarde d'une image alone.bmp FIN\n"
                         "Fin de la fusion : 301 images listees, 301 ajoutees, 1 execution(s)\n");
}

TEST_F(SplitRuns, TheRunEchoesTheCommandAndSavesTheSumsBeforeTheCompositeFiles) {
    fs::create_directory(*dir / "echo");
    writeText(*dir / "echo/script.txt",
              script("../frames/ref.bmp", 1, 2, "sommes s.fit\nSommes \nCompositage c.bmp\n"));
    const RunResult r = runProgram(KAL_PROGRAM, {"script.txt"}, *dir / "echo");
    ASSERT_TRUE(r.exitedWith(0)) << r.out;
    EXPECT_NE(r.out.find("Sommes du compositage: s.fit\nCommande sommes sans nom de fichier. Ligne 6\n\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Sauvegarde des sommes du compositage : s.fit\nSauvegarde de l'image compositee : c.bmp\n"),
              std::string::npos)
        << r.out;
}

struct Refusal {
    const char* name;
    const char* message;                                              // what the merge says about the bad part
    std::vector<std::uint8_t> (*damage)(std::vector<std::uint8_t>);   // the bad part from a good one
};

std::vector<std::uint8_t> replaced(std::vector<std::uint8_t> f, const std::string& from, const std::string& to) {
    const std::string text(f.begin(), f.begin() + 2880);
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) std::copy(to.begin(), to.end(), f.begin() + long(at));
    return f;
}

const Refusal kRefusals[] = {
    {"truncated in the data", "fichier tronque ou endommage",
     [](std::vector<std::uint8_t> f) { return std::vector<std::uint8_t>(f.begin(), f.end() - 1000); }},
    {"a block short", "fichier tronque (5760 octets au lieu de 8640)",
     [](std::vector<std::uint8_t> f) { return std::vector<std::uint8_t>(f.begin(), f.end() - 2880); }},
    {"a block too many", "donnees inattendues apres les sommes",
     [](std::vector<std::uint8_t> f) {
         f.resize(f.size() + 2880, 0);
         return f;
     }},
    {"16-bit pixels", "en-tete invalide (BITPIX absent ou hors limites)",
     [](std::vector<std::uint8_t> f) {
         return replaced(f, "BITPIX  =                   32", "BITPIX  =                   16");
     }},
    {"no END card", "en-tete invalide (caractere non ASCII)",
     [](std::vector<std::uint8_t> f) { return replaced(f, "END   ", "ENDE  "); }},
    {"another kind of accumulator", "type d'accumulateur inconnu (KALKIND = 'EMPILEMENT')",
     [](std::vector<std::uint8_t> f) { return replaced(f, "'COMPOSITE' ", "'EMPILEMENT'"); }},
    {"one frame more listed", "fichier endommage (sommes de controle DATASUM/CHECKSUM fausses)",
     [](std::vector<std::uint8_t> f) { return replaced(f, "  97 / frames listed", "  98 / frames listed"); }},
    {"a sum changed", "fichier endommage (sommes de controle DATASUM/CHECKSUM fausses)",
     [](std::vector<std::uint8_t> f) {
         f[2880 + 4 * 100 + 3] ^= 1;
         return f;
     }},
};

TEST_F(SplitRuns, DamagedPartsAreRefusedAndNothingIsWritten) {
    const std::vector<std::string> parts = runParts(kPrograms[0], "refused-", kTwoParts);
    const std::vector<std::uint8_t> good = readFile(parts[0]);
    fs::create_directory(*dir / "refusals");
    const std::set<std::string> before = filesIn(dir->path);
    for (const Refusal& c : kRefusals) {
        SCOPED_TRACE(c.name);
        const fs::path bad = *dir / "refusals" / (std::string(c.name) + ".fit");
        writeFile(bad, c.damage(good));
        const RunResult r = merge("out", {parts[1], bad.string()});
        EXPECT_TRUE(r.exitedWith(1));
        EXPECT_NE(r.out.find("Erreur : partie " + bad.string() + " : " + c.message), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Fusion abandonnee : aucun fichier ecrit\n"), std::string::npos) << r.out;
        EXPECT_EQ(filesIn(dir->path), before);
    }
    const RunResult missing = merge("out", {parts[0], (*dir / "nowhere.fit").string()});
    EXPECT_TRUE(missing.exitedWith(1));
    EXPECT_NE(missing.out.find("impossible d'ouvrir le fichier"), std::string::npos) << missing.out;
    const RunResult unwritable = merge("nowhere/out", {parts[0]});
    EXPECT_TRUE(unwritable.exitedWith(1));
    EXPECT_NE(unwritable.out.find("Erreur : impossible de creer le fichier nowhere/outS.fit\n"), std::string::npos)
        << unwritable.out;
    EXPECT_NE(unwritable.out.find("Sauvegarde d'une image nowhere/out.bmp ERREUR : impossible de creer le fichier\n"),
              std::string::npos)
        << unwritable.out;
    const RunResult none = merge("out", {});
    EXPECT_TRUE(none.exitedWith(2));
    EXPECT_EQ(none.out,
              "Erreur : aucune partie a fusionner\n"
              "Usage : kalvorine-merge nom_de_sortie partie1.fit [partie2.fit ...]\n");
    EXPECT_EQ(filesIn(dir->path), before);
}

TEST_F(SplitRuns, PartsMadeAgainstAnotherReferenceAreRefused) {
    // Same name and size, other pixels; a narrower reference; same pixels, other reference point.
    fs::create_directories(*dir / "other");
    writeOwnedImage(*dir / "other/ref.bmp", syntheticFrame(kWidth, kHeight, 0, 0, 0, 2));
    writeOwnedImage(*dir / "other/narrow.bmp", syntheticFrame(kWidth - 4, kHeight, 0, 0, 0));
    run(kPrograms[0], "same", "../frames/ref.bmp", 1, 2, "Sommes sums.fit\n");
    run(kPrograms[0], "pixels", "../other/ref.bmp", 3, 4, "Sommes sums.fit\n");
    run(kPrograms[0], "narrow", "../other/narrow.bmp", 3, 4, "Sommes sums.fit\n");
    run(kPrograms[0], "point", "../frames/ref.bmp 10 8", 3, 4, "Sommes sums.fit\n");
    const std::set<std::string> before = filesIn(dir->path);
    const std::pair<const char*, const char*> cases[] = {
        {"pixels", "meme nom et meme taille, mais pixels differents"},
        {"narrow", "taille 24x16 et 20x16"},
        {"point", "point de reference (12, 8) et (10, 8)"},
    };
    const std::string same = (*dir / "same/sums.fit").string();
    for (const auto& [folder, why] : cases) {
        const std::string other = (*dir / folder / "sums.fit").string();
        const RunResult r = merge("out", {same, other});
        EXPECT_TRUE(r.exitedWith(1)) << folder;
        EXPECT_NE(r.out.find("Erreur : les parties " + same + " et " + other + " n'ont pas la meme reference (" + why +
                             ")\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(filesIn(dir->path), before);
    }
}

}   // namespace
