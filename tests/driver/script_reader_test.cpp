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
    EXPECT_EQ(s.imageCount, 0);
    EXPECT_EQ(s.angleMin, 0.0f);
    EXPECT_EQ(s.angleMax, 0.0f);
    EXPECT_EQ(s.angleStep, 1.0f);   // one radian: the default is not converted
    EXPECT_EQ(s.shiftStep, 1);
    EXPECT_EQ(s.blockShiftStep, 1.0f);
    EXPECT_EQ(s.translationFraction, 6);
    EXPECT_EQ(s.freeOutputSize, 1);
    EXPECT_EQ(s.compositeName, "kept");
}

TEST_F(ScriptReader, AnglesAreStoredInRadiansAsSinglePrecisionProducts) {
    read("Angle -2 2\n");
    EXPECT_EQ(settings.angleMin, float(InterD(-2.0f) * kOneDegree));
    EXPECT_EQ(settings.angleMax, float(InterD(2.0f) * kOneDegree));
    EXPECT_EQ(settings.angleStep, 1.0f);
    read("Angle -1,5 1,5 0,5\n");
    EXPECT_EQ(settings.angleMin, float(InterD(-1.0f) * kOneDegree));
    EXPECT_EQ(settings.angleMax, float(InterD(5.0f) * kOneDegree));
    EXPECT_EQ(settings.angleStep, float(InterD(1.0f) * kOneDegree));
}

TEST_F(ScriptReader, RangesStepsAndFractionsAreCorrected) {
    read("Translation 10 0\nOptiTranslation -3\nBloc 32 8 4 0.25\n");
    EXPECT_EQ(settings.shiftXMin, -10);
    EXPECT_EQ(settings.shiftYMax, 10);
    EXPECT_EQ(settings.shiftStep, 1);
    EXPECT_EQ(settings.translationFraction, 1);
    EXPECT_EQ(settings.blockGridWidth, 32);
    EXPECT_EQ(settings.blockSearchWidth, 8);
    EXPECT_EQ(settings.blockShiftXMin, -4);
    EXPECT_EQ(settings.blockShiftYMax, 4);
    EXPECT_EQ(settings.blockShiftStep, 0.25f);
    read("Translation 7 3\nTranslation 9 -1\nBloc 16 4 2 0\n");
    EXPECT_EQ(settings.shiftXMax, 9);
    EXPECT_EQ(settings.shiftStep, 3) << "a negative step is refused and the previous one kept";
    EXPECT_EQ(settings.blockShiftStep, 1.0f) << "a zero block step is refused";
}

TEST_F(ScriptReader, FlagsNamesAndReferencePointsAreStoredOnlyWhenGiven) {
    read("Dimension Libre\nQuitter \nSource only.bmp\nSource a b 7\nReference r 3 4\nReference \n");
    EXPECT_EQ(settings.freeOutputSize, 0);
    EXPECT_EQ(settings.skipFinalPause, 1);
    EXPECT_EQ(settings.imageCount, 1) << "an incomplete source line leaves its index to the next one";
    EXPECT_EQ(settings.sourceNames[1], "a");
    EXPECT_EQ(settings.resultNames[1], "b");
    EXPECT_EQ(settings.sourceX0Given[1], 1);
    EXPECT_EQ(settings.sourceX0[1], 7);
    EXPECT_EQ(settings.sourceY0Given[1], 0);
    EXPECT_EQ(settings.referenceName, "r");
    EXPECT_EQ(settings.referenceX0Given, 0);
    EXPECT_EQ(settings.referenceX0, 0);
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
    std::int32_t stored;      // settings.subpixelRefinement after the line (it starts at 1 here)
    const char* printed;      // the whole echo of the line
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
        RefinementLine{"Affinage 1.5\n", 1, "Affinage sous-pixel=1.5   *** valeur refusee (valeur non numerique). Ligne 2  \n"},
        RefinementLine{"Affinage 99999999999999999999\n", 1,
                       "Affinage sous-pixel=99999999999999999999   *** valeur refusee (0 ou 1 attendu). Ligne 2  \n"}));

TEST_F(ScriptReader, RefinementIsOffByDefaultAndResetByEachRead) {
    read("Affinage 1\n");
    read("Rem nothing\n");
    EXPECT_EQ(settings.subpixelRefinement, 0);
}

}  // namespace
