// Whole runs with a frame selection or a built reference: both programs, console bytes and
// files against golden files, and the same files as a run without selection.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/golden.h"
#include "support/run_program.h"
#include "support/test_images.h"

namespace fs = std::filesystem;

namespace {

class LuckyRun : public ::testing::TestWithParam<Program> {
protected:
    TempDir dir;

    RunResult runScript(const fs::path& folder, const std::string& script, const RunOptions& options = {}) {
        writeText(folder / "script.txt", script);
        return runProgram(GetParam().path, {"script.txt"}, folder, options);
    }
    RunResult runScript(const std::string& script, const RunOptions& options = {}) {
        return runScript(dir.path, script, options);
    }
    void expectRun(const std::string& caseName, const RunResult& r, const std::vector<std::string>& files) {
        expectGolden(caseName, "stdout.txt", maskTimes(r.out), GetParam().sse);
        for (const std::string& f : files) {
            ASSERT_TRUE(fs::exists(dir / f)) << f << " was not written";
            expectGolden(caseName, f, readText(dir / f), GetParam().sse);
        }
    }
    static void writeOwned(const fs::path& path, Image im) {
        writeBmp(path, im);
        releasePixels(im);
    }
    // frameN.bmp, N = 1.., each blurred by the given number of passes (96 x 72, noise 3).
    void writeBlurredFrames(const fs::path& folder, const std::vector<int>& passes) {
        writeOwned(folder / "ref.bmp", blurredFrame(96, 72, 1, 3));
        for (std::size_t i = 0; i < passes.size(); ++i)
            writeOwned(folder / ("frame" + std::to_string(i + 1) + ".bmp"), blurredFrame(96, 72, passes[i], 3));
    }
    static std::string sources(int count) {
        std::string s;
        for (int i = 1; i <= count; ++i) s += "Source frame" + std::to_string(i) + ".bmp out" + std::to_string(i) + ".bmp\n";
        return s;
    }
};

std::string programName(const ::testing::TestParamInfo<Program>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Programs, LuckyRun,
                         ::testing::Values(Program{"kalvorine", KAL_PROGRAM, false},
                                           Program{"kalvorine_sse", KAL_PROGRAM_SSE, true}),
                         programName);

TEST_P(LuckyRun, SelectionOfEveryFrameWritesTheSameFilesAsNoSelection) {
    TempDir plain, selected;
    for (const TempDir* d : {&plain, &selected}) {
        writeOwned(d->path / "ref.bmp", syntheticFrame(96, 72, 0, 0, 0));
        writeOwned(d->path / "frame1.bmp", syntheticFrame(96, 72, 1, 2, -1));
        writeOwned(d->path / "frame2.bmp", syntheticFrame(96, 72, -1, -2, 1));
        writeOwned(d->path / "frame3.bmp", syntheticFrame(96, 72, 0, 1, 2));
    }
    const std::string script = "Reference ref.bmp\n" + sources(3) + "Angle -2 2 1\nTranslation 3 1\nBloc 16 4 2 1\nCompositage sum.bmp\n";
    ASSERT_TRUE(runScript(plain.path, script).exitedWith(0));
    ASSERT_TRUE(runScript(selected.path, script + "Selection 100\n").exitedWith(0));
    for (const char* f : {"out1.bmp", "out2.bmp", "out3.bmp", "shift.lst", "sumR.fit", "sumV.fit", "sumB.fit", "sum.bmp"}) {
        EXPECT_EQ(readFile(plain.path / f), readFile(selected.path / f)) << f;
    }
    const std::string ranking = readText(selected.path / "qualite.lst");
    EXPECT_EQ(std::count(ranking.begin(), ranking.end(), '\n'), 3);
    EXPECT_EQ(ranking.find("ecartee"), std::string::npos);
    EXPECT_FALSE(fs::exists(plain.path / "qualite.lst"));
}

TEST_P(LuckyRun, OnlyTheSharpestHalfIsRegisteredAndTheAverageDividesByIt) {
    writeBlurredFrames(dir.path, {3, 0, 6, 1});
    const RunResult r = runScript("Reference ref.bmp\n" + sources(5) + "Translation 2 1\nCompositage sum.bmp\nselection 50\n");
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_TRUE(fs::exists(dir / "out2.bmp"));
    EXPECT_TRUE(fs::exists(dir / "out4.bmp"));
    EXPECT_FALSE(fs::exists(dir / "out1.bmp"));
    EXPECT_FALSE(fs::exists(dir / "out3.bmp"));
    const std::string ranking = readText(dir / "qualite.lst");
    EXPECT_NE(ranking.find(" 1 retenue\n"), std::string::npos);
    EXPECT_NE(ranking.find("5 frame5.bmp illisible 0 ecartee\n"), std::string::npos);
    expectRun("selection_half", r, {"qualite.lst", "shift.lst", "sum.bmp"});
}

TEST_P(LuckyRun, OutOfRangeValuesAreRefusedAndNothingIsRanked) {
    writeBlurredFrames(dir.path, {0});
    const RunResult r = runScript("Reference ref.bmp\n" + sources(1) +
                                  "Selection 0\nSelection 101\nselection \nReferenceAuto 0\nreferenceauto -3\n"
                                  "ReferenceAuto \n");
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_FALSE(fs::exists(dir / "qualite.lst"));
    EXPECT_FALSE(fs::exists(dir / "reference_auto.bmp"));
    expectRun("lucky_refused", r, {});
}

TEST_P(LuckyRun, ABuiltReferenceWithNoReadableFrameIsFatal) {
    RunOptions options;
    options.input = "x";
    const RunResult r = runScript("Source a.bmp b.bmp\nSource c.bmp d.bmp\nReferenceAuto 3\n", options);
    EXPECT_TRUE(r.aborted());
    expectRun("fatal/referenceauto_unreadable", r, {});
}

TEST_P(LuckyRun, ASelectionWithNoReadableFrameRegistersNothing) {
    writeBlurredFrames(dir.path, {});
    const RunResult r = runScript("Reference ref.bmp\nSource a.bmp b.bmp\nSelection 50\nCompositage sum.bmp\n");
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_EQ(readText(dir / "qualite.lst"), "1 a.bmp illisible 0 ecartee\n");
    EXPECT_EQ(readText(dir / "shift.lst"), "");
}

TEST_P(LuckyRun, FewerFramesThanAskedBuildTheReferenceFromAllOfThem) {
    writeBlurredFrames(dir.path, {2, 0});
    const RunResult r = runScript(sources(2) + "ReferenceAuto 5\nTranslation 2 1\nCompositage sum.bmp\n");
    EXPECT_TRUE(r.exitedWith(0));
    // The building logs nothing: one line per frame of the run.
    const std::string log = readText(dir / "shift.lst");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
    expectRun("referenceauto_fewer", r, {"qualite.lst", "shift.lst", "reference_auto.bmp", "sum.bmp"});
}

TEST_P(LuckyRun, TheLastOfReferenceAndReferenceAutoIsUsedWithAWarning) {
    writeBlurredFrames(dir.path, {1, 0});
    fs::remove(dir / "ref.bmp");   // read only if Reference won
    RunResult r = runScript("Reference ref.bmp\n" + sources(2) + "ReferenceAuto 2\n");
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_NE(r.out.find("Attention : la commande Reference precedente (ref.bmp) est remplacee"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "reference_auto.bmp"));

    fs::remove(dir / "reference_auto.bmp");
    fs::remove(dir / "qualite.lst");
    writeOwned(dir / "ref.bmp", blurredFrame(96, 72, 1, 3));
    r = runScript("ReferenceAuto 2\nReference ref.bmp\n" + sources(2));
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_NE(r.out.find("Attention : la commande ReferenceAuto precedente est remplacee"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "reference_auto.bmp"));
    EXPECT_FALSE(fs::exists(dir / "qualite.lst"));
}

}  // namespace
