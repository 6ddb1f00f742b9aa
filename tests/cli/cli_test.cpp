// Whole runs of both programs on small scripts and images: console bytes, files written
// and how the process ended, against golden files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/golden.h"
#include "support/run_program.h"
#include "support/test_images.h"

namespace fs = std::filesystem;

namespace {

class WholeRun : public ::testing::TestWithParam<Program> {
protected:
    TempDir dir;

    RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) {
        return runProgram(GetParam().path, args, dir.path, options);
    }
    RunResult runScript(const std::string& script, const RunOptions& options = {}) {
        writeText(dir / "script.txt", script);
        return run({"script.txt"}, options);
    }
    void golden(const std::string& caseName, const std::string& file, const std::string& actual) {
        expectGolden(caseName, file, actual, GetParam().sse);
    }
    // The console (times masked) and the named output files against the case's golden files.
    void expectRun(const std::string& caseName, const RunResult& r, const std::vector<std::string>& files) {
        golden(caseName, "stdout.txt", maskTimes(r.out));
        for (const std::string& f : files) {
            ASSERT_TRUE(fs::exists(dir / f)) << f << " was not written";
            golden(caseName, f, readText(dir / f));
        }
    }
    void writeImage(const std::string& name, const Image& im) {
        writeBmp(dir / name, im);
        Image copy = im;
        releasePixels(copy);
    }
    // A reference and sources made from the synthetic scene, 96 x 72 pixels.
    void writeSequence(const std::vector<std::array<double, 3>>& views) {
        writeImage("ref.bmp", syntheticFrame(96, 72, 0, 0, 0));
        for (std::size_t i = 0; i < views.size(); ++i)
            writeImage("src" + std::to_string(i + 1) + ".bmp",
                       syntheticFrame(96, 72, views[i][0], views[i][1], views[i][2]));
    }
};

std::string programName(const ::testing::TestParamInfo<Program>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Programs, WholeRun,
                         ::testing::Values(Program{"kalvorine", KAL_PROGRAM, false},
                                           Program{"kalvorine_sse", KAL_PROGRAM_SSE, true}),
                         programName);

// ---- script reading -------------------------------------------------------------------

TEST_P(WholeRun, EveryCommandIsEchoedAndMissingSourcesAreSkipped) {
    writeImage("ref.bmp", makeImage(8, 6, {10, 20, 30, 255}));
    const RunResult r = runScript(
        "Rem a comment line that is ignored\n"
        "Reference ref.bmp\n"
        "Reference: ref.bmp 3 2\n"
        "Reference \n"
        "Source: a.bmp, a_out.bmp\n"
        "Source b.bmp b_out.bmp 4\n"
        "source c.bmp c_out.bmp 1 2\n"
        "Source d.bmp\n"
        "Source \n"
        "Source e.bmp e_out.bmp\n"
        "Sourcesbmp seq out 1 3\n"
        "sourcesbmp seq out 5 4\n"
        "Sourcesbmp seq out 7\n"
        "Sourcesbmp seq\n"
        "Sourcesbmp \n"
        "Compositage sum.bmp\n"
        "compositage \n"
        "Dimension Libre\n"
        "dimension libre Libre\n"
        "Dimension Fixe\n"
        "Dimension \n"
        "OptiTranslation 4\n"
        "optitranslation 0\n"
        "Optitranslation -3\n"
        "optiTranslation \n"
        "Angle -2 2 0.5\n"
        "angle -1,5 1,5 0,5\n"
        "Angle -2 2\n"
        "Translation 10 0\n"
        "translation 7 2\n"
        "Translation 5\n"
        "Bloc 16 4 2 1\n"
        "bloc 16 4 2 0.5 9\n"
        "Bloc \n"
        "Quitter \n"
        "Quitter:\n"
        "quitter 1\n"
        "Rem\n"
        "Unknown command here\n"
        "SOURCE x y\n"
        "Sources x y\n"
        "  :  : \n"
        "   \n"
        "\n"
        "Rem last line without a line end");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("every_command", r, {"shift.lst", "sumR.fit", "sumV.fit", "sumB.fit", "sum.bmp"});
}

TEST_P(WholeRun, TokenisingTrapsAreHandledLikeStrtok) {
    writeImage("ref.bmp", makeImage(4, 4, {1, 2, 3, 255}));
    const std::string longRem = "Rem " + std::string(1200, 'x') + "\n";
    const RunResult r = runScript(
        "Reference ref.bmp\n"
        "Quitter\n"                   // the line feed stays in the keyword: unknown
        "Rem\n"
        "Source:a.bmp,a_out.bmp,5,6\n" + longRem +
        "Angle:-1.5 ,, 1.5 :0.25\n"
        "Translation 3x 2.9\n"
        "Bloc 12345678901 -5 3 abc\n"
        "Quitter");                   // last line without a line end: recognised
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("tokenising", r, {});
}

TEST_P(WholeRun, CarriageReturnsStayInTheLastArgument) {
    writeImage("ref.bmp", makeImage(4, 4, {1, 2, 3, 255}));
    const RunResult r = runScript(
        "Reference ref.bmp 2 2\r\n"
        "Source a.bmp a_out.bmp\r\n"
        "\r\n"
        "Translation 5 1\r\n"
        "Quitter \r\n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("crlf", r, {"shift.lst"});
}

TEST_P(WholeRun, ValuesThatWouldBreakTheSearchesAreRefused) {
    writeImage("ref.bmp", makeImage(4, 4, {1, 2, 3, 255}));
    const RunResult r = runScript(
        "Reference ref.bmp 5000000 -3\n"
        "Source a.bmp a_out.bmp 2000000 -2000000\n"
        "Angle 400 -400 -1\n"
        "Angle nan inf 0\n"
        "Angle -2 2 1e39\n"
        "Translation 70000 -2\n"
        "Translation -2147483648 3\n"
        "Bloc 70000 -1 70000 0\n"
        "Bloc 8 2 1 -0.5\n"
        "Bloc 8 2 1 nan\n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("refused_values", r, {"shift.lst"});
}

TEST_P(WholeRun, SourcesbmpGeneratesNumberedNames) {
    writeImage("ref.bmp", makeImage(4, 4, {1, 2, 3, 255}));
    const RunResult r = runScript(
        "Reference ref.bmp\n"
        "Sourcesbmp img out 8 11\n"
        "Sourcesbmp img out -2 0\n"
        "Sourcesbmp img out 2147483647 -2147483648\n"
        "Sourcesbmp img out -2147483648 2147483647\n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("sourcesbmp", r, {});
}

// ---- start and end of a run --------------------------------------------------------------

TEST_P(WholeRun, WithoutArgumentTheDefaultScriptIsReadAndEnterIsAwaited) {
    writeImage("ref.bmp", makeImage(4, 4, {1, 2, 3, 255}));
    writeText(dir / "ScriptKalvorine2.txt", "Reference ref.bmp\n");
    RunOptions options;
    options.input = "\n";
    const RunResult r = run({}, options);
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("default_script", r, {"shift.lst"});
}

TEST_P(WholeRun, QuitterSkipsTheFinalWait) {
    writeImage("ref.bmp", makeImage(4, 4, {1, 2, 3, 255}));
    writeText(dir / "ScriptKalvorine2.txt", "Reference ref.bmp\nQuitter \n");
    const RunResult r = run({});
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_EQ(r.out.find("Appuyez sur entree"), std::string::npos);
}

TEST_P(WholeRun, ExtraArgumentsAreReportedBeforeTheBanner) {
    writeImage("ref.bmp", makeImage(4, 4, {1, 2, 3, 255}));
    writeText(dir / "script.txt", "Reference ref.bmp\n");
    const RunResult r = run({"script.txt", "other.txt", "third.txt"});
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("extra_arguments", r, {});
}

// ---- fatal stops -------------------------------------------------------------------------

TEST_P(WholeRun, FatalStopsPrintTheirMessageAndAbortAfterReadingOneCharacter) {
    struct Case {
        const char* name;
        std::string script;
    };
    writeImage("ref.bmp", syntheticFrame(24, 16, 0, 0, 0));
    writeImage("src.bmp", syntheticFrame(24, 16, 0, 1, 0));
    writeFile(dir / "rle.bmp", bmpBytes(2, 2, 24, 1, 54, std::vector<std::uint8_t>(16, 0)));
    writeFile(dir / "bf32.bmp", bmpBytes(2, 2, 32, 3, 54, std::vector<std::uint8_t>(16, 0)));
    writeFile(dir / "rgb16.bmp", bmpBytes(2, 2, 16, 0, 54, std::vector<std::uint8_t>(8, 0)));
    const std::vector<Case> cases = {
        {"no_reference", "Source a.bmp b.bmp\n"},
        {"reference_missing", "Reference nowhere.bmp\n"},
        {"reference_compressed", "Reference rle.bmp\n"},
        {"reference_bitfields", "Reference bf32.bmp\n"},
        {"reference_16_bits", "Reference rgb16.bmp\n"},
        {"sourcesbmp_too_many", "Reference ref.bmp\nSourcesbmp s r 1 2\nSourcesbmp s r 1 29998\n"},
        {"zero_resolution", "Reference ref.bmp\nSource src.bmp out.bmp\nAngle -1 1 0\nTranslation 2 1\n"},
        {"zero_resolution_single_angle", "Reference ref.bmp\nSource src.bmp out.bmp\nAngle 1 1 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions options;
        options.input = "x";
        const RunResult r = runScript(c.script, options);
        EXPECT_TRUE(r.aborted()) << "exit " << r.exitCode << " signal " << r.signal;
        golden(std::string("fatal/") + c.name, "stdout.txt", maskTimes(r.out));
    }
}

TEST_P(WholeRun, AMissingScriptIsFatal) {
    const RunResult r = run({"missing script.txt"});
    EXPECT_TRUE(r.aborted());
    golden("fatal/missing_script", "stdout.txt", r.out);
}

TEST_P(WholeRun, TwentyNineThousandNineHundredNinetyNineImagesAreTheLimit) {
    writeImage("ref.bmp", makeImage(2, 2, {1, 2, 3, 255}));
    std::string script = "Reference ref.bmp\nQuitter \n";
    for (int i = 1; i <= 29999; ++i) script += "Source s" + std::to_string(i) + " r\n";
    RunResult r = runScript(script);
    ASSERT_TRUE(r.exitedWith(0));
    EXPECT_NE(r.out.find("Traitement de l'image 29999 (s29999)"), std::string::npos);

    r = runScript("Reference ref.bmp\nSourcesbmp s r 1 29999\n");
    ASSERT_TRUE(r.exitedWith(0));
    EXPECT_NE(r.out.find("Traitement de l'image 29999 (s29999.bmp)"), std::string::npos);

    script += "Source one more\n";
    r = runScript(script);
    EXPECT_TRUE(r.aborted());
    const std::string tail = "Image source: s29999 Fichier resultat: r\n"
                             "Erreur : trop d'images \x88 traiter\n"
                             "Erreur fatale, appuyez sur entree.\nFatal error. Press return.\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
}


// ---- registration ------------------------------------------------------------------------

TEST_P(WholeRun, AnAngleRangeRegistersRotationAndTranslation) {
    writeSequence({{1.5, 3, -2}, {-2.0, -4, 1}, {0, 2, 5}});
    const RunResult r = runScript("Reference ref.bmp\nSourcesbmp src out 1 3\nAngle -3 3 1\nTranslation 6 1\n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("angle_range", r, {"shift.lst", "out1.bmp", "out2.bmp", "out3.bmp"});
}

TEST_P(WholeRun, ASingleAngleSearchesTranslationsInTwoStages) {
    writeSequence({{0, 13, -9}, {0, -6, 15}, {0.5, 0, 0}});
    const RunResult r = runScript("Reference ref.bmp\nSourcesbmp src out 1 3\nTranslation 20 1\nOptiTranslation 3\n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("single_angle", r, {"shift.lst", "out1.bmp", "out2.bmp", "out3.bmp"});
}

TEST_P(WholeRun, WithoutAngleOrTranslationTheNarrowWindowIsStillSearched) {
    writeSequence({{0, 4, -3}});
    const RunResult r = runScript("Reference ref.bmp\nSource src1.bmp out1.bmp\n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("no_angle_no_translation", r, {"shift.lst", "out1.bmp"});
}

TEST_P(WholeRun, AFixedAngleRotatesOnlyInTheSecondStage) {
    writeSequence({{2, 5, 3}});
    const RunResult r = runScript("Reference ref.bmp\nSource src1.bmp out1.bmp 50 34\nAngle 2 2\nTranslation 12 2\n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("fixed_angle", r, {"shift.lst", "out1.bmp"});
}

TEST_P(WholeRun, AShiftOnTheBorderOfTheRangeIsMarkedNonOptimal) {
    writeSequence({{0, 6, 1}});
    const RunResult r = runScript("Reference ref.bmp\nSource src1.bmp out1.bmp\nAngle -1 1 1\nTranslation 3 1\n");
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_NE(r.out.find("\n\n!!! Attention : la valeur maximum de decalage autoris\x8E" "e a ete atteinte.\n"),
              std::string::npos);
    expectRun("border_shift", r, {"shift.lst", "out1.bmp"});
}

TEST_P(WholeRun, BlocksRefineEveryImageBeforeCompositing) {
    writeSequence({{1, 2, -1}, {-1, -3, 2}});
    const RunResult r = runScript(
        "Reference ref.bmp\nSourcesbmp src out 1 2\nAngle -2 2 1\nTranslation 4 1\nBloc 16 4 2 1\nCompositage sum.bmp\n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("blocks_integer", r,
              {"shift.lst", "out1.bmp", "out2.bmp", "sumR.fit", "sumV.fit", "sumB.fit", "sum.bmp"});
}

TEST_P(WholeRun, AFractionalBlockStepResamplesEveryCandidate) {
    writeSequence({{0, 2, -1}});
    const RunResult r = runScript("Reference ref.bmp\nSource src1.bmp out1.bmp\nTranslation 4 1\nBloc 20 5 2 0.5\n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("blocks_fractional", r, {"shift.lst", "out1.bmp"});
}

// ---- sub-pixel refinement ----------------------------------------------------------------

TEST_P(WholeRun, AffinageRefinesTheAngleTheShiftAndTheBlocksOfEveryFrame) {
    writeSequence({{1.3, 2.4, -1.7}, {-0.6, -3.2, 1.5}});
    const RunResult r = runScript("Reference ref.bmp\nSourcesbmp src out 1 2\nAngle -2 2 1\nTranslation 4 1\n"
                                  "Bloc 16 4 2 1\nCompositage sum.bmp\nAffinage 1\n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("affinage_blocks", r,
              {"shift.lst", "affinage.lst", "out1.bmp", "out2.bmp", "sumR.fit", "sumV.fit", "sumB.fit", "sum.bmp"});
}

TEST_P(WholeRun, AffinageAfterTheTranslationSearchAndItsRefusedValues) {
    writeSequence({{0.4, 1.6, -2.3}});
    const RunResult r = runScript("Reference ref.bmp\nSource src1.bmp out1.bmp\nTranslation 5 1\naffinage 1\n"
                                  "Affinage -1\nAffinage oui\nAffinage 2\nAffinage \n");
    EXPECT_TRUE(r.exitedWith(0));
    expectRun("affinage_translation", r, {"shift.lst", "affinage.lst", "out1.bmp"});
}

TEST_P(WholeRun, AffinageZeroWritesWhatNoAffinageLineWrites) {
    writeSequence({{1, 2, -1}, {-1, -3, 2}});
    const std::string script =
        "Reference ref.bmp\nSourcesbmp src out 1 2\nAngle -2 2 1\nTranslation 4 1\nBloc 16 4 2 1\nCompositage sum.bmp\n";
    const std::vector<std::string> files = {"shift.lst", "out1.bmp", "out2.bmp", "sumR.fit", "sumV.fit", "sumB.fit", "sum.bmp"};
    const RunResult plain = runScript(script);
    std::vector<std::string> expected;
    for (const std::string& f : files) expected.push_back(readText(dir / f));
    const RunResult off = runScript(script + "Affinage 1\nAffinage 0\n");
    EXPECT_TRUE(off.exitedWith(0));
    EXPECT_FALSE(fs::exists(dir / "affinage.lst"));
    for (std::size_t k = 0; k < files.size(); ++k) EXPECT_TRUE(readText(dir / files[k]) == expected[k]) << files[k];
    // The console: the same but for the two echoes.
    const std::string echoes = "Affinage sous-pixel=1  \nAffinage sous-pixel=0  \n";
    std::string console = maskTimes(off.out);
    const std::size_t at = console.find(echoes);
    ASSERT_NE(at, std::string::npos);
    console.erase(at, echoes.size());
    EXPECT_EQ(console, maskTimes(plain.out));
}

TEST_P(WholeRun, AnImageTooSmallForTheGridIsLeftUndeformed) {
    writeSequence({{0, 1, 1}});
    const RunResult r = runScript("Reference ref.bmp\nSource src1.bmp out1.bmp\nTranslation 2 1\nBloc 16 48 2 1\n");
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_NE(r.out.find(" (0 blocs en largeur 0 blocs en hauteur)\n"), std::string::npos);
    expectRun("blocks_empty_grid", r, {"out1.bmp"});
}

// The progress line holds the coarse-phase stars (one per sixteenth of the angle range,
// 17 at most) followed by three per refinement step.
TEST_P(WholeRun, AngleListsAndRefinementStepsShowInTheProgressLine) {
    writeSequence({{0, 0, 0}});
    struct Case {
        const char* angle;
        std::size_t stars;
    };
    const Case cases[] = {
        {"Angle -2 2 1", 17 + 5 * 3},    // -2..2: five angles, 1+4+4+4+4 stars; 5 refinement steps
        {"Angle -5 5 1", 16 + 5 * 3},    // 5 degrees falls out: ten angles
        {"Angle -3 0 1", 12 + 5 * 3},    // 0 falls out: -3, -2, -1
        {"Angle -2 2 0.1", 17 + 8 * 3},  // 8 refinement steps at 0.1 degree
        {"Angle 1 -1 1", 0 + 5 * 3},     // no coarse angle; the refinement still runs
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.angle);
        const RunResult r = runScript(std::string("Reference ref.bmp\nSource src1.bmp out1.bmp\n") + c.angle +
                                      "\nTranslation 1 1\n");
        const std::string dashes = std::string(50, '-') + "\n";
        const std::size_t at = r.out.find(dashes);
        ASSERT_NE(at, std::string::npos);
        const std::size_t from = at + dashes.size();
        const std::size_t stars = r.out.find_first_not_of('*', from) - from;
        EXPECT_EQ(stars, c.stars);
    }
}

// ---- composite ---------------------------------------------------------------------------

TEST_P(WholeRun, TheAverageDividesByTheNumberOfListedImages) {
    const Image flat = makeImage(48, 36, {200, 200, 200, 255});
    writeBmp(dir / "ref.bmp", flat);
    writeBmp(dir / "a.bmp", flat);
    writeBmp(dir / "c.bmp", flat);
    writeBmp(dir / "d.bmp", flat);
    Image owned = flat;
    releasePixels(owned);
    const RunResult r = runScript(
        "Reference ref.bmp\nSource a.bmp a_out.bmp\nSource b.bmp b_out.bmp\nSource c.bmp c_out.bmp\n"
        "Source d.bmp d_out.bmp\nCompositage out.sum.bmp\n");
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_FALSE(fs::exists(dir / "b_out.bmp"));
    const std::vector<std::uint8_t> bmp = readFile(dir / "out.bmp");
    // Bottom-up rows of 144 bytes after the 54-byte header: the centre pixel (24, 18).
    const std::size_t centre = 54 + std::size_t(36 - 1 - 18) * 144 + 24 * 3;
    EXPECT_EQ(bmp[centre], 150);
    EXPECT_EQ(bmp[centre + 1], 150);
    EXPECT_EQ(bmp[centre + 2], 150);
    expectRun("missing_source_average", r, {"shift.lst", "outR.fit", "outV.fit", "outB.fit", "out.bmp"});
}

TEST_P(WholeRun, ARunWithoutImagesStillWritesTheLogAndTheComposite) {
    writeImage("ref.bmp", makeImage(3, 2, {9, 9, 9, 255}));
    const RunResult r = runScript("Reference ref.bmp\nCompositage empty\n");
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_EQ(readText(dir / "shift.lst"), "");
    expectRun("no_images", r, {"emptyR.fit", "emptyV.fit", "emptyB.fit", "empty.bmp"});
}

}  // namespace
