// Whole runs of both programs under failing output and bad input. Each fault run is set
// beside a control run of the same script in a sound folder: the console must differ by
// exactly the expected messages, the run must end as promised (going on, or the fatal stop),
// no success line may follow a failed write, and every other file must come out byte for
// byte as in the control run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "guarded_run.h"
#include "support/run_program.h"
#include "support/test_images.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

Files filesIn(const fs::path& dir) {
    Files files;
    for (auto& [name, bytes] : snapshotFiles(dir)) files[name] = bytes;
    return files;
}

// The same file names with the same bytes; says which files differ rather than printing them.
void expectSameFiles(const Files& actual, const Files& expected) {
    for (const auto& [name, bytes] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end()) {
            ADD_FAILURE() << name << " is missing";
        } else if (found->second != bytes) {
            ADD_FAILURE() << name << " differs (" << found->second.size() << " bytes, " << bytes.size() << " expected)";
        }
    }
    for (const auto& [name, bytes] : actual)
        if (expected.count(name) == 0) ADD_FAILURE() << name << " should not be there (" << bytes.size() << " bytes)";
}

// text with its one occurrence of from replaced by to; a failure when from does not occur
// exactly once.
std::string replaceOnce(const std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "missing: " << from;
    if (at == std::string::npos) return text;
    EXPECT_EQ(text.find(from, at + 1), std::string::npos) << "more than once: " << from;
    return text.substr(0, at) + to + text.substr(at + from.size());
}

const std::string kSaved = " FIN\n";
const std::string kNotCreated = " ERREUR : impossible de creer le fichier\n";
const std::string kDiskFull = " ERREUR : ecriture incomplete du fichier (disque plein ?)\n";

class FaultRun : public ::testing::TestWithParam<Program> {
protected:
    TempDir control, faulty;
    static constexpr int kSources = 3;

    // The reference and three sources, 96 x 72, shifted by a few pixels.
    static void writeScene(const fs::path& dir) {
        const double views[kSources][3] = {{0.5, 2, -1}, {-0.5, -3, 2}, {0, 1, 3}};
        writeImageFile(dir / "ref.bmp", syntheticFrame(96, 72, 0, 0, 0));
        for (int i = 0; i < kSources; ++i)
            writeImageFile(dir / ("src" + std::to_string(i + 1) + ".bmp"),
                           syntheticFrame(96, 72, views[i][0], views[i][1], views[i][2]));
    }
    static void writeImageFile(const fs::path& path, Image im) {
        writeBmp(path, im);
        releasePixels(im);
    }
    static std::string script(const std::string& resultStem, const std::string& composite = "sum.bmp") {
        return "Reference ref.bmp\nSourcesbmp src " + resultStem + " 1 3\nAngle -1 1 1\nTranslation 4 1\nCompositage " +
               composite + "\n";
    }
    GuardedResult runIn(const fs::path& dir, const std::string& text, const GuardedOptions& options = {}) {
        writeText(dir / "script.txt", text);
        GuardedResult r = runGuarded(GetParam().path, {"script.txt"}, dir, options);
        EXPECT_FALSE(r.hung) << "the run did not end";
        EXPECT_EQ(r.err, "") << "standard error holds a report";
        r.out = maskTimes(r.out);
        return r;
    }
    // The control run: the script in a sound folder.
    GuardedResult controlRun(const std::string& text) {
        writeScene(control.path);
        GuardedResult r = runIn(control.path, text);
        EXPECT_TRUE(r.exitedWith(0));
        return r;
    }
    // Files of the control run, less those named.
    Files controlFilesWithout(const std::vector<std::string>& names) {
        Files files = filesIn(control.path);
        for (const std::string& n : names) EXPECT_EQ(files.erase(n), 1u) << n << " not in the control run";
        return files;
    }
};

std::string programName(const ::testing::TestParamInfo<Program>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Programs, FaultRun,
                         ::testing::Values(Program{"kalvorine", KAL_PROGRAM},
                                           Program{"kalvorine_sse", KAL_PROGRAM_SSE}),
                         programName);

// ---- output files that cannot be created ---------------------------------------------------

TEST_P(FaultRun, AMissingResultFolderIsReportedForEachImageAndTheRunGoesOn) {
    fs::create_directory(control / "res");
    const GuardedResult c = controlRun(script("res/out"));
    writeScene(faulty.path);
    const GuardedResult f = runIn(faulty.path, script("res/out"));
    EXPECT_TRUE(f.exitedWith(0));
    std::string expected = c.out;
    for (int i = 1; i <= kSources; ++i) {
        const std::string line = "Sauvegarde d'une image res/out" + std::to_string(i) + ".bmp";
        expected = replaceOnce(expected, line + kSaved, line + kNotCreated);
    }
    EXPECT_EQ(f.out, expected);
    expectSameFiles(filesIn(faulty.path), controlFilesWithout({"res/out1.bmp", "res/out2.bmp", "res/out3.bmp"}));
}

TEST_P(FaultRun, AResultNameThatIsADirectoryIsReportedAndTheDirectoryLeftAlone) {
    const GuardedResult c = controlRun(script("out"));
    writeScene(faulty.path);
    fs::create_directory(faulty / "out2.bmp");
    writeText(faulty / "out2.bmp" / "keep.txt", "untouched");
    const GuardedResult f = runIn(faulty.path, script("out"));
    EXPECT_TRUE(f.exitedWith(0));
    EXPECT_EQ(f.out, replaceOnce(c.out, "Sauvegarde d'une image out2.bmp" + kSaved,
                                 "Sauvegarde d'une image out2.bmp ERREUR : c'est un dossier, pas un fichier\n"));
    Files expected = controlFilesWithout({"out2.bmp"});
    expected["out2.bmp/keep.txt"] = "untouched";
    expectSameFiles(filesIn(faulty.path), expected);
}

TEST_P(FaultRun, AResultNameTooLongForTheSystemIsReportedAndTheRunGoesOn) {
    const std::string longName = std::string(300, 'n') + ".bmp";   // beyond NAME_MAX (255)
    const std::string text = "Reference ref.bmp\nSource src1.bmp " + longName +
                             "\nSource src2.bmp out2.bmp\nTranslation 4 1\n";
    const GuardedResult c = controlRun("Reference ref.bmp\nSource src1.bmp out1.bmp\nSource src2.bmp out2.bmp\n"
                                       "Translation 4 1\n");
    writeScene(faulty.path);
    const GuardedResult f = runIn(faulty.path, text);
    EXPECT_TRUE(f.exitedWith(0));
    std::string expected = replaceOnce(c.out, "Fichier resultat: out1.bmp", "Fichier resultat: " + longName);
    expected = replaceOnce(expected, "Sauvegarde d'une image out1.bmp" + kSaved,
                           "Sauvegarde d'une image " + longName + kNotCreated);
    EXPECT_EQ(f.out, expected);
    Files files = filesIn(faulty.path);
    EXPECT_EQ(files.erase("script.txt"), 1u);
    expectSameFiles(files, controlFilesWithout({"out1.bmp", "script.txt"}));
}

TEST_P(FaultRun, ACompositeInAMissingFolderIsReportedForEachOfItsFourFiles) {
    fs::create_directory(control / "stack");
    const GuardedResult c = controlRun(script("out", "stack/sum.bmp"));
    writeScene(faulty.path);
    const GuardedResult f = runIn(faulty.path, script("out", "stack/sum.bmp"));
    EXPECT_TRUE(f.exitedWith(0));
    const std::string heading = "Sauvegarde de l'image compositee : stack/sum.bmp\n";
    std::string expected = replaceOnce(c.out, heading,
                                       heading + "Erreur : impossible de creer le fichier stack/sumR.fit\n"
                                                 "Erreur : impossible de creer le fichier stack/sumV.fit\n"
                                                 "Erreur : impossible de creer le fichier stack/sumB.fit\n");
    expected = replaceOnce(expected, "Sauvegarde d'une image stack/sum.bmp" + kSaved,
                           "Sauvegarde d'une image stack/sum.bmp" + kNotCreated);
    EXPECT_EQ(f.out, expected);
    expectSameFiles(filesIn(faulty.path),
                    controlFilesWithout({"stack/sumR.fit", "stack/sumV.fit", "stack/sumB.fit", "stack/sum.bmp"}));
}

TEST_P(FaultRun, AShiftLogThatCannotBeCreatedIsReportedAndTheRunGoesOnWithoutIt) {
    const GuardedResult c = controlRun(script("out"));
    writeScene(faulty.path);
    fs::create_directory(faulty / "shift.lst");
    writeText(faulty / "shift.lst" / "keep.txt", "untouched");
    const GuardedResult f = runIn(faulty.path, script("out"));
    EXPECT_TRUE(f.exitedWith(0));
    EXPECT_EQ(f.out, replaceOnce(c.out, "Chargement du fichier ref.bmp\n",
                                 "Chargement du fichier ref.bmpAttention : impossible de creer le fichier shift.lst, "
                                 "les decalages ne seront pas enregistres\n\n"));
    Files expected = controlFilesWithout({"shift.lst"});
    expected["shift.lst/keep.txt"] = "untouched";
    expectSameFiles(filesIn(faulty.path), expected);
}

// ---- a full disk: no file may grow beyond the limit (RLIMIT_FSIZE, SIGXFSZ ignored) ---------

// The BMP and FITS files of a run of script("out"), all larger than 16 KiB.
const std::vector<std::string> kImageFiles = {"out1.bmp", "out2.bmp", "out3.bmp", "sumR.fit",
                                              "sumV.fit", "sumB.fit", "sum.bmp"};

// What a full disk does to the control run's console when every BMP and FITS file fails.
std::string withFailedImageFiles(std::string out) {
    for (int i = 1; i <= 3; ++i) {
        const std::string line = "Sauvegarde d'une image out" + std::to_string(i) + ".bmp";
        out = replaceOnce(out, line + kSaved, line + kDiskFull);
    }
    const std::string heading = "Sauvegarde de l'image compositee : sum.bmp\n";
    out = replaceOnce(out, heading,
                      heading + "Erreur : ecriture incomplete du fichier sumR.fit (disque plein ?)\n"
                                "Erreur : ecriture incomplete du fichier sumV.fit (disque plein ?)\n"
                                "Erreur : ecriture incomplete du fichier sumB.fit (disque plein ?)\n");
    return replaceOnce(out, "Sauvegarde d'une image sum.bmp" + kSaved, "Sauvegarde d'une image sum.bmp" + kDiskFull);
}

TEST_P(FaultRun, AFullDiskFailsEveryImageFileWithoutASuccessLineAndKeepsTheShiftLog) {
    const GuardedResult c = controlRun(script("out"));
    writeScene(faulty.path);
    GuardedOptions options;
    options.fileSizeLimit = 16384;   // below every BMP and FITS file of the run, above shift.lst
    const GuardedResult f = runIn(faulty.path, script("out"), options);
    EXPECT_TRUE(f.exitedWith(0));
    EXPECT_EQ(f.out, withFailedImageFiles(c.out));
    EXPECT_EQ(f.out.find(" FIN"), std::string::npos);
    // No partial file is left; shift.lst and the inputs are whole.
    expectSameFiles(filesIn(faulty.path), controlFilesWithout(kImageFiles));
}

TEST_P(FaultRun, AFullDiskThatCutsTheShiftLogIsReportedWhenTheLogIsClosed) {
    const GuardedResult c = controlRun(script("out"));
    ASSERT_GT(readText(control / "shift.lst").size(), 4u);
    writeScene(faulty.path);
    GuardedOptions options;
    options.fileSizeLimit = 4;
    const GuardedResult f = runIn(faulty.path, script("out"), options);
    EXPECT_TRUE(f.exitedWith(0));
    const std::string expected =
        replaceOnce(withFailedImageFiles(c.out), "Sauvegarde de l'image compositee",
                    "Erreur : ecriture incomplete du fichier shift.lst (disque plein ?)\n"
                    "Sauvegarde de l'image compositee");
    EXPECT_EQ(f.out, expected);
    // The log that could not be written whole is not put in place.
    expectSameFiles(filesIn(faulty.path), [&] {
        std::vector<std::string> gone = kImageFiles;
        gone.push_back("shift.lst");
        return controlFilesWithout(gone);
    }());
}

// ---- bad input files: a bad source is reported and skipped, a bad reference is fatal -------

struct BadFile {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string message;   // continues the loading line
};

std::vector<BadFile> badFiles() {
    std::vector<BadFile> files;
    // 96 x 72 cut in the middle of its rows: 36 rows of 288 bytes and 5 bytes more.
    {
        const OwnedImage frame(syntheticFrame(96, 72, 0, 1, 1));
        std::vector<std::uint8_t> bytes = encodeBmp24(frame.im);
        bytes.resize(54 + 36 * 288 + 5);
        files.push_back({"rows_cut", bytes, "Erreur : fichier BMP tronque (10427 octets, 20790 attendus)\n"});
    }
    files.push_back({"huge_header", bmpBytes(30000, 30000, 24, 0, 54, std::vector<std::uint8_t>(46, 0)),
                     "Erreur : image trop grande (30000 x 30000 pixels; limite 65535 de cote, 268435456 en tout)\n"});
    // 8 bits: the rows are never read, but a few bytes must not announce 256 million pixels.
    files.push_back({"eight_bit_short", bmpBytes(16000, 16000, 8, 0, 54, std::vector<std::uint8_t>(46, 0)),
                     "Erreur : fichier BMP tronque (100 octets, 256000054 attendus)\n"});
    // Without pixels there is nothing to register, and the turned frame would be enormous.
    files.push_back({"zero_width", bmpBytes(0, 65535, 24, 0, 54, {}),
                     "Erreur : image vide (0 x 65535 pixels), rien a aligner\n"});
    files.push_back({"zero_height", bmpBytes(65535, 0, 24, 0, 54, {}),
                     "Erreur : image vide (65535 x 0 pixels), rien a aligner\n"});
    return files;
}

TEST_P(FaultRun, ABadSourceIsReportedAndSkippedLikeAMissingOne) {
    writeScene(control.path);
    fs::remove(control / "src2.bmp");
    const GuardedResult c = runIn(control.path, script("out"));
    ASSERT_TRUE(c.exitedWith(0));
    const Files controlFiles = filesIn(control.path);
    for (const BadFile& bad : badFiles()) {
        SCOPED_TRACE(bad.name);
        TempDir dir;
        writeScene(dir.path);
        writeFile(dir / "src2.bmp", bad.bytes);
        const GuardedResult f = runIn(dir.path, script("out"));
        EXPECT_TRUE(f.exitedWith(0));
        const std::string missing = "Chargement du fichier src2.bmpErreur : impossible d'ouvrir l'image src2.bmp\n";
        EXPECT_EQ(f.out, replaceOnce(c.out, missing, "Chargement du fichier src2.bmp" + bad.message));
        Files files = filesIn(dir.path);
        EXPECT_EQ(files.erase("src2.bmp"), 1u);
        expectSameFiles(files, controlFiles);
    }
}

TEST_P(FaultRun, AFrameWhoseTurnedBoxIsTooLargeIsReportedAndSkipped) {
    // 1 x 65535 pixels turned by 45 degrees covers about 46341 x 46341 pixels.
    writeScene(faulty.path);
    writeFile(faulty / "thin.bmp", bmpBytes(1, 65535, 24, 0, 54, std::vector<std::uint8_t>(4 * 65535, 90)));
    const GuardedResult f = runIn(faulty.path,
                                  "Reference ref.bmp\nSource thin.bmp thin_out.bmp\nSource src1.bmp out1.bmp\n"
                                  "Angle -45 -44 1\nTranslation 1 1\nCompositage sum.bmp\n");
    EXPECT_TRUE(f.exitedWith(0));
    EXPECT_NE(f.out.find("Erreur : image alignee trop grande ("), std::string::npos);
    EXPECT_EQ(f.out.find("Sauvegarde d'une image thin_out.bmp"), std::string::npos);
    EXPECT_FALSE(fs::exists(faulty / "thin_out.bmp"));
    EXPECT_TRUE(fs::exists(faulty / "out1.bmp"));
    EXPECT_TRUE(fs::exists(faulty / "sum.bmp"));
}

TEST_P(FaultRun, ABadReferenceIsAFatalStopBeforeAnyOutputFile) {
    const GuardedResult c = controlRun(script("out"));
    const std::size_t loading = c.out.find("Chargement du fichier ref.bmp");
    ASSERT_NE(loading, std::string::npos);
    for (const BadFile& bad : badFiles()) {
        SCOPED_TRACE(bad.name);
        TempDir dir;
        writeScene(dir.path);
        writeFile(dir / "ref.bmp", bad.bytes);
        const Files inputs = filesIn(dir.path);
        GuardedOptions options;
        options.input = "\n";
        const GuardedResult f = runIn(dir.path, script("out"), options);
        EXPECT_TRUE(f.aborted()) << "exit " << f.exitCode << " signal " << f.signal;
        EXPECT_EQ(f.out, c.out.substr(0, loading) + "Chargement du fichier ref.bmp" + bad.message + kFatalLines);
        Files files = filesIn(dir.path);
        files.erase("script.txt");
        Files expected = inputs;
        expected.erase("script.txt");
        expectSameFiles(files, expected);
    }
}

// ---- scripts that asked for the impossible ------------------------------------------------

// An angle resolution or a block step finer than single precision can resolve made runs
// that never ended (stars printed forever; candidate offsets piling up until memory ran out).
// They are refused when the script is read, and the previous value is used.
TEST_P(FaultRun, StepsTooFineToBeReachedAreRefusedAndTheRunEnds) {
    const char* const cases[][2] = {
        {"Angle -3 3 1e-7\nTranslation 2 1\n", "Resolution=0.000000   *** valeur refusee (resolution plus fine "
                                                 "que 0.0001 degre). Ligne 3  \n"},
        {"Translation 2 1\nBloc 16 4 2 1e-9\n", "Pas de decalage de bloc=0.000000   *** valeur refusee (pas plus "
                                                 "fin que 0.01 pixel). Ligne 4  \n"},
        // A negative block shift range once made a grid of millions of blocks.
        {"Translation 2 1\nBloc 1 0 -65535 1\n", "Decalage maxi de bloc=-65535   *** valeur refusee (decalage "
                                                   "negatif). Ligne 4  "},
    };
    writeScene(faulty.path);
    for (const auto& [lines, refusal] : cases) {
        SCOPED_TRACE(lines);
        GuardedOptions options;
        options.hangSeconds = 60;
        const GuardedResult f = runIn(faulty.path, std::string("Reference ref.bmp\nSource src1.bmp out1.bmp\n") + lines,
                                      options);
        EXPECT_TRUE(f.exitedWith(0));
        EXPECT_NE(f.out.find(refusal), std::string::npos) << f.out.substr(0, 2000);
        EXPECT_NE(f.out.find("Sauvegarde d'une image out1.bmp FIN\n"), std::string::npos);
        EXPECT_LT(f.out.size(), 4000u);
    }
}

// ---- a long run ----------------------------------------------------------------------------

// Two thousand small frames run to the end (tests/faults/long_run.sh shows that the peak
// memory of such a run does not grow with the number of frames).
TEST_P(FaultRun, TwoThousandSmallFramesRunToTheEnd) {
    constexpr int kFrames = 2000;
    writeImageFile(faulty / "ref.bmp", syntheticFrame(64, 48, 0, 0, 0));
    std::string text = "Reference ref.bmp\nTranslation 2 1\nCompositage sum.bmp\n";
    for (int k = 0; k < 4; ++k)
        writeImageFile(faulty / ("src" + std::to_string(k) + ".bmp"), syntheticFrame(64, 48, 0, k % 2, k / 2));
    for (int i = 1; i <= kFrames; ++i)
        text += "Source src" + std::to_string(i % 4) + ".bmp out" + std::to_string(i) + ".bmp\n";
    const GuardedResult f = runIn(faulty.path, text);
    EXPECT_TRUE(f.exitedWith(0));
    EXPECT_NE(f.out.find("Traitement de l'image 2000 (src0.bmp)\n"), std::string::npos);
    EXPECT_NE(f.out.find("Sauvegarde d'une image out2000.bmp FIN\n"), std::string::npos);
    EXPECT_TRUE(endsWith(f.out, "Fin de l'execution de Kalvorine\n"));
    const std::string log = readText(faulty / "shift.lst");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), kFrames);
    for (int i = 1; i <= kFrames; ++i) ASSERT_TRUE(fs::exists(faulty / ("out" + std::to_string(i) + ".bmp"))) << i;
}

}  // namespace
