// What readScript stores; what it prints is pinned by the whole-run golden tests.
#include "driver/script_reader.h"

#include <gtest/gtest.h>

#include "common/precision.h"
#include "support/with_settings.h"

namespace {

class ScriptReader : public InFolder {
protected:
    std::string read(const std::string& script) {
        writeText(dir / "s.txt", script);
        settings.scriptFileName = path("s.txt");
        return captureStdout([] { readScript(); });
    }
};

TEST_F(ScriptReader, DefaultsAreStoredBeforeTheFirstLine) {
    settings.imageCount = 5;
    settings.compositeName = "kept";
    read("");
    const RunSettings& s = settings;
    EXPECT_EQ(std::tuple(s.imageCount, s.shiftStep, s.blockShiftStep, s.translationFraction, s.freeOutputSize,
                         s.compositeName),
              std::tuple(0, 1, 1.0f, 6, 1, std::string("kept")));
}

TEST_F(ScriptReader, AnglesAreStoredInRadiansAsSinglePrecisionProducts) {
    auto radians = [](float degrees) { return float(InterD(degrees) * kOneDegree); };
    const std::pair<const char*, std::array<float, 3>> cases[] = {
        {"", {0, 0, 1.0f}},   // the default step, one radian, is not converted
        {"Angle -2 2\n", {radians(-2), radians(2), 1.0f}},
        {"Angle -1,5 1,5 0,5\n", {radians(-1), radians(5), radians(1)}},
        {"Angle -360 360\n", {radians(-360), radians(360), 1.0f}},   // the limits themselves are accepted
    };
    for (const auto& [script, expected] : cases) {
        read(script);
        EXPECT_EQ((std::array{settings.angleMin, settings.angleMax, settings.angleStep}), expected) << script;
    }
}

TEST_F(ScriptReader, RangesStepsAndFractionsAreCorrected) {
    const RunSettings& s = settings;
    read("Translation 10 0\nOptiTranslation -3\nBloc 32 8 4 0.25\n");
    EXPECT_EQ(std::tuple(s.shiftXMin, s.shiftYMax, s.shiftStep, s.translationFraction), std::tuple(-10, 10, 1, 1));
    EXPECT_EQ(std::tuple(s.blockGridWidth, s.blockSearchWidth, s.blockShiftXMin, s.blockShiftYMax, s.blockShiftStep),
              std::tuple(32, 8, -4, 4, 0.25f));
    read("Translation 7 3\nTranslation 9 -1\nBloc 16 4 2 0\n");
    EXPECT_EQ(s.shiftXMax, 9);
    EXPECT_EQ(s.shiftStep, 3) << "a negative step is refused and the previous one kept";
    EXPECT_EQ(s.blockShiftStep, 1.0f) << "a zero block step is refused";
}

TEST_F(ScriptReader, FlagsNamesAndReferencePointsAreStoredOnlyWhenGiven) {
    read("Dimension Libre\nQuitter \nSource only.bmp\nSource a b 7\nReference r 3 4\nReference \n");
    EXPECT_EQ(settings.freeOutputSize, 0);
    EXPECT_EQ(settings.skipFinalPause, 1);
    EXPECT_EQ(settings.imageCount, 1) << "an incomplete source line leaves its index to the next one";
    EXPECT_EQ(settings.sourceNames[1] + settings.resultNames[1], "ab");
    EXPECT_EQ(std::tuple(settings.sourceX0Given[1], settings.sourceX0[1], settings.sourceY0Given[1]),
              std::tuple(1, 7, 0));
    EXPECT_EQ(settings.referenceName, "r");
    EXPECT_EQ(std::tuple(settings.referenceX0Given, settings.referenceX0), std::tuple(0, 0));
    resetRunSettings();
    read("Quitter\n");
    EXPECT_EQ(settings.skipFinalPause, 0);
}

TEST(SlotTable, EntriesAreEmptyUntilWrittenAndAfterClear) {
    SlotTable<std::string> names;
    const SlotTable<std::string>& view = names;
    EXPECT_EQ(view[kMaxImages], "");   // read through a const view: nothing grows
    names[kMaxImages] = "last.bmp";
    EXPECT_EQ(view[kMaxImages] + view[1], "last.bmp");
    names.clear();
    EXPECT_EQ(view[kMaxImages], "");
}

struct RefinementLine {
    const char* line;
    std::int32_t stored;   // settings.subpixelRefinement after the line (it starts at 1 here)
    const char* printed;   // the whole echo of the line
};

class RefinementKeyword : public ScriptReader, public ::testing::WithParamInterface<RefinementLine> {};

TEST_P(RefinementKeyword, IsEchoedStoredOrRefused) {
    const std::string printed = read(std::string("Affinage 1\n") + GetParam().line);
    EXPECT_EQ(settings.subpixelRefinement, GetParam().stored);
    EXPECT_EQ(printed.substr(printed.find("Affinage sous-pixel=1  \n") + 24), GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RefinementKeyword,
    ::testing::Values(
        // The whole runs pin the other refusals; these are the traps of the number parsing.
        RefinementLine{"affinage 0\r\n", 0, "Affinage sous-pixel=0  \n"},
        RefinementLine{"Affinage 1.5\n", 1,
                       "Affinage sous-pixel=1.5   *** valeur refusee (valeur non numerique). Ligne 2  \n"},
        RefinementLine{"Affinage 99999999999999999999\n", 1,
                       "Affinage sous-pixel=99999999999999999999   *** valeur refusee (0 ou 1 attendu). Ligne 2  \n"}));

TEST_F(ScriptReader, RefinementIsOffByDefaultAndResetByEachRead) {
    read("Affinage 1\n");
    read("Rem nothing\n");
    EXPECT_EQ(settings.subpixelRefinement, 0);
}

}   // namespace
