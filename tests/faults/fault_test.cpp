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

#include "support/whole_run.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;
using Changes = std::vector<std::pair<std::string, std::string>>;

// The files under dir but the script, each as its size and a hash of its bytes.
Files filesIn(const fs::path& dir) {
    Files files;
    for (auto& [name, bytes] : snapshotFiles(dir))
        files[name] = std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(bytes));
    files.erase("script.txt");
    return files;
}

// text with each first member of changes, which must occur exactly once, replaced by the second.
std::string changed(std::string text, const Changes& changes) {
    for (const auto& [from, to] : changes) {
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << "missing: " << from;
        if (at == std::string::npos) continue;
        EXPECT_EQ(text.find(from, at + 1), std::string::npos) << "more than once: " << from;
        text.replace(at, from.size(), to);
    }
    return text;
}

const std::string kSaved = " FIN\n";
const std::string kNotCreated = " ERREUR : impossible de creer le fichier\n";
const std::string kDiskFull = " ERREUR : ecriture incomplete du fichier (disque plein ?)\n";
const std::vector<std::array<double, 3>> kViews = {{0.5, 2, -1}, {-0.5, -3, 2}, {0, 1, 3}};

std::string script(const std::string& resultStem, const std::string& composite = "sum.bmp") {
    return "Reference ref.bmp\nSourcesbmp src " + resultStem + " 1 3\nAngle -1 1 1\nTranslation 4 1\nCompositage " +
           composite + "\n";
}

// The line of a saved image, and what it becomes when the file fails.
std::pair<std::string, std::string> failedSave(const std::string& name, const std::string& error) {
    return {"Sauvegarde d'une image " + name + kSaved, "Sauvegarde d'une image " + name + error};
}

// The composite's four files failing with the given FITS message (before the name) and BMP error.
Changes failedComposite(const std::string& stem, const std::string& fitsError, const std::string& tail,
                        const std::string& bmpError) {
    const std::string heading = "Sauvegarde de l'image compositee : " + stem + ".bmp\n";
    std::string lines = heading;
    for (const char* c : {"R", "V", "B"}) lines += "Erreur : " + fitsError + stem + c + ".fit" + tail + "\n";
    return {{heading, lines}, failedSave(stem + ".bmp", bmpError)};
}

struct OutputFault {
    const char* name;
    std::string script;
    Changes changes;                  // console of the control run -> console of the fault run
    std::vector<std::string> gone;    // files of the control run the fault run does not write
    std::string controlFolder = "";   // made in the control folder only
    std::string blocked = "";         // a folder of this name, holding keep.txt, in the fault folder
    long fileSizeLimit = -1;
    std::string controlScript = "";   // when the control runs another script
};
void PrintTo(const OutputFault& c, std::ostream* os) { *os << c.name; }

const std::vector<std::string> kImageFiles = {"out1.bmp", "out2.bmp", "out3.bmp", "sumR.fit",
                                              "sumV.fit", "sumB.fit", "sum.bmp"};

// One case a line, as a table reads (not reflowed by clang-format).
// clang-format off
std::vector<OutputFault> outputFaults() {
    const std::string longName = std::string(300, 'n') + ".bmp";   // beyond NAME_MAX (255)
    // A full disk (RLIMIT_FSIZE, SIGXFSZ ignored) fails every BMP and FITS file of the run.
    Changes full = failedComposite("sum", "ecriture incomplete du fichier ", " (disque plein ?)", kDiskFull);
    for (const char* f : {"out1.bmp", "out2.bmp", "out3.bmp"}) full.push_back(failedSave(f, kDiskFull));
    Changes fullLog = full;
    fullLog.push_back({"Sauvegarde de l'image compositee", "Erreur : ecriture incomplete du fichier shift.lst "
                                                           "(disque plein ?)\nSauvegarde de l'image compositee"});
    std::vector<std::string> allFiles = kImageFiles;
    allFiles.push_back("shift.lst");
    return {
        {"missing_result_folder", script("res/out"),
         {failedSave("res/out1.bmp", kNotCreated), failedSave("res/out2.bmp", kNotCreated),
          failedSave("res/out3.bmp", kNotCreated)},
         {"res/out1.bmp", "res/out2.bmp", "res/out3.bmp"}, "res"},
        {"result_is_a_folder", script("out"),
         {failedSave("out2.bmp", " ERREUR : c'est un dossier, pas un fichier\n")}, {"out2.bmp"}, "", "out2.bmp"},
        {"result_name_too_long",
         "Reference ref.bmp\nSource src1.bmp " + longName + "\nSource src2.bmp out2.bmp\nTranslation 4 1\n",
         {{"Fichier resultat: out1.bmp", "Fichier resultat: " + longName},
          {"Sauvegarde d'une image out1.bmp" + kSaved, "Sauvegarde d'une image " + longName + kNotCreated}},
         {"out1.bmp"}, "", "", -1,
         "Reference ref.bmp\nSource src1.bmp out1.bmp\nSource src2.bmp out2.bmp\nTranslation 4 1\n"},
        {"composite_folder_missing", script("out", "stack/sum.bmp"),
         failedComposite("stack/sum", "impossible de creer le fichier ", "", kNotCreated),
         {"stack/sumR.fit", "stack/sumV.fit", "stack/sumB.fit", "stack/sum.bmp"}, "stack"},
        // The run goes on without its log.
        {"shift_log_is_a_folder", script("out"),
         {{"Chargement du fichier ref.bmp\n", "Chargement du fichier ref.bmpAttention : impossible de creer le fichier "
                                              "shift.lst, les decalages ne seront pas enregistres\n\n"}},
         {"shift.lst"}, "", "shift.lst"},
        // 16 KiB: below every BMP and FITS file of the run, above shift.lst. No partial file
        // is left; shift.lst and the inputs are whole.
        {"full_disk", script("out"), full, kImageFiles, "", "", 16384},
        // 4 bytes cut the log too: reported when it is closed, and not put in place.
        {"full_disk_cuts_the_log", script("out"), fullLog, allFiles, "", "", 4},
    };
}
// clang-format on

using OutputFaultRun = WholeRun<std::tuple<Program, OutputFault>>;

TEST_P(OutputFaultRun, ReportedWhereTheControlRunSavesAndTheRunGoesOn) {
    const OutputFault& c = std::get<1>(GetParam());
    TempDir control;
    writeSequence(control.path, kViews);
    if (!c.controlFolder.empty()) fs::create_directory(control / c.controlFolder);
    const RunResult good = runScriptIn(control.path, c.controlScript.empty() ? c.script : c.controlScript);
    ASSERT_TRUE(good.exitedWith(0));
    Files expected = filesIn(control.path);
    for (const std::string& n : c.gone) EXPECT_EQ(expected.erase(n), 1u) << n << " not in the control run";

    writeSequence(dir.path, kViews);
    if (!c.blocked.empty()) {
        fs::create_directory(dir / c.blocked);
        writeText(dir / c.blocked / "keep.txt", "untouched");
        expected[c.blocked + "/keep.txt"] = filesIn(dir / c.blocked)["keep.txt"];
    }
    RunOptions options;
    options.fileSizeLimit = c.fileSizeLimit;
    const RunResult f = runScript(c.script, options);
    EXPECT_TRUE(f.exitedWith(0));
    EXPECT_EQ(f.out, changed(good.out, c.changes));
    EXPECT_EQ(filesIn(dir.path), expected);
}

std::string faultName(const ::testing::TestParamInfo<std::tuple<Program, OutputFault>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputFaultRun,
                         ::testing::Combine(KAL_BOTH_PROGRAMS, ::testing::ValuesIn(outputFaults())), faultName);

// ---- bad input files: a bad source is reported and skipped, a bad reference is fatal -------

struct BadFile {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string message;   // continues the loading line
};

std::vector<BadFile> badFiles() {
    // 96 x 72 cut in the middle of its rows: 36 rows of 288 bytes and 5 bytes more.
    const OwnedImage frame(syntheticFrame(96, 72, 0, 1, 1));
    std::vector<std::uint8_t> cut = encodeBmp24(frame.im);
    cut.resize(54 + 36 * 288 + 5);
    return {
        {"rows_cut", cut, "Erreur : fichier BMP tronque (10427 octets, 20790 attendus)\n"},
        {"huge_header", bmpBytes(30000, 30000, 24, 0, 54, std::vector<std::uint8_t>(46, 0)),
         "Erreur : image trop grande (30000 x 30000 pixels; limite 65535 de cote, 268435456 en tout)\n"},
        // 8 bits: the rows are never read, but a few bytes must not announce 256 million pixels.
        {"eight_bit_short", bmpBytes(16000, 16000, 8, 0, 54, std::vector<std::uint8_t>(46, 0)),
         "Erreur : fichier BMP tronque (100 octets, 256000054 attendus)\n"},
        // Without pixels there is nothing to register, and the turned frame would be enormous.
        {"zero_width", bmpBytes(0, 65535, 24, 0, 54, {}), "Erreur : image vide (0 x 65535 pixels), rien a aligner\n"},
        {"zero_height", bmpBytes(65535, 0, 24, 0, 54, {}), "Erreur : image vide (65535 x 0 pixels), rien a aligner\n"},
    };
}

using FaultRun = WholeRun<Program>;
INSTANTIATE_TEST_SUITE_P(Programs, FaultRun, KAL_BOTH_PROGRAMS, programName);

// Against the control run without src2.bmp; as the reference, the console stops after the
// loading line and nothing is written.
TEST_P(FaultRun, ABadSourceIsSkippedLikeAMissingOneAndABadReferenceIsAFatalStop) {
    TempDir control;
    writeSequence(control.path, kViews);
    fs::remove(control / "src2.bmp");
    const RunResult c = runScriptIn(control.path, script("out"));
    ASSERT_TRUE(c.exitedWith(0));
    const std::string missing = "Chargement du fichier src2.bmpErreur : impossible d'ouvrir l'image src2.bmp\n";
    const std::string beforeReference = c.out.substr(0, c.out.find("Chargement du fichier ref.bmp"));
    for (const BadFile& bad : badFiles()) {
        SCOPED_TRACE(bad.name);
        TempDir faulty;
        writeSequence(faulty.path, kViews);
        writeFile(faulty / "src2.bmp", bad.bytes);
        RunResult f = runScriptIn(faulty.path, script("out"));
        EXPECT_TRUE(f.exitedWith(0));
        EXPECT_EQ(f.out, changed(c.out, {{missing, "Chargement du fichier src2.bmp" + bad.message}}));
        Files files = filesIn(faulty.path);
        EXPECT_EQ(files.erase("src2.bmp"), 1u);
        EXPECT_EQ(files, filesIn(control.path));

        TempDir reference;
        writeSequence(reference.path, kViews);
        writeFile(reference / "ref.bmp", bad.bytes);
        const Files inputs = filesIn(reference.path);
        RunOptions options;
        options.input = "\n";
        f = runScriptIn(reference.path, script("out"), options);
        EXPECT_TRUE(f.aborted()) << "exit " << f.exitCode << " signal " << f.signal;
        EXPECT_EQ(f.out, beforeReference + "Chargement du fichier ref.bmp" + bad.message + kFatalLines);
        EXPECT_EQ(filesIn(reference.path), inputs);
    }
}

}   // namespace
