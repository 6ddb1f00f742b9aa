// Regression tests of the fault runs' finding in the script reader: an angle resolution or a
// block step finer than single precision can resolve made a run that never ends.
#include <gtest/gtest.h>

#include "common/precision.h"
#include "driver/script_reader.h"
#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

class ScriptSteps : public WithSettings {
protected:
    TempDir dir;
    std::string read(const std::string& script) {
        writeText(dir / "s.txt", script);
        settings.scriptFileName = (dir / "s.txt").string();
        return captureStdout([] { readScript(); });
    }
};

// "Angle -3 3 1e-7" printed "***" forever: the refinement's bracket stops shrinking at the
// spacing of single-precision angles, above half such a resolution.
TEST_F(ScriptSteps, AnAngleResolutionFinerThanATenThousandthOfADegreeIsRefused) {
    const std::string out = read("Angle -3 3 0.5\nAngle -2 2 0.00009\nAngle -1 1 1e-30\n");
    EXPECT_NE(out.find("Resolution=0.000090   *** valeur refusee (resolution plus fine que 0.0001 degre). Ligne 2"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("*** valeur refusee (resolution plus fine que 0.0001 degre). Ligne 3"), std::string::npos);
    EXPECT_EQ(settings.angleMin, float(InterD(-1.0f) * kOneDegree));   // the other values are kept
    EXPECT_EQ(settings.angleStep, float(InterD(0.5f) * kOneDegree));   // the previous resolution stays
}

TEST_F(ScriptSteps, TheFinestAcceptedResolutionAndZeroAreStoredAsBefore) {
    read("Angle -1 1 0.0001\n");
    EXPECT_EQ(settings.angleStep, float(InterD(0.0001f) * kOneDegree));
    read("Angle -1 1 0\n");   // stops the run later, with its own message
    EXPECT_EQ(settings.angleStep, 0.0f);
}

// "Bloc 16 4 2 1e-9" never ended: adding the step to -2.0f in single precision gives -2.0f,
// and the list of candidate offsets grew until memory ran out.
TEST_F(ScriptSteps, ABlockStepFinerThanAHundredthOfAPixelIsRefused) {
    const std::string out = read("Bloc 16 4 2 0.25\nBloc 16 4 2 0.009\nBloc 16 4 2 1e-9\n");
    EXPECT_NE(out.find("Pas de decalage de bloc=0.009000   *** valeur refusee (pas plus fin que 0.01 pixel). Ligne 2"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("*** valeur refusee (pas plus fin que 0.01 pixel). Ligne 3"), std::string::npos);
    EXPECT_EQ(settings.blockShiftStep, 0.25f);
    read("Bloc 16 4 2 0.01\n");
    EXPECT_EQ(settings.blockShiftStep, 0.01f);
    const std::string refused = read("Bloc 16 4 2 0\n");
    EXPECT_NE(refused.find("(le pas doit etre positif)"), std::string::npos);
}

}   // namespace
