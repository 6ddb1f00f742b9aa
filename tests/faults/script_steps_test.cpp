// The script reader refuses steps finer than single precision can resolve (an angle
// resolution below a ten-thousandth of a degree printed "***" forever; a block step below a
// hundredth of a pixel piled up candidate offsets until memory ran out) and keeps the
// previous value; the finest accepted steps and a zero resolution are stored as before.
#include <gtest/gtest.h>

#include "common/precision.h"
#include "driver/script_reader.h"
#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

struct StepCase {
    const char* script;
    const char* refusal;   // in the console, "" for none
    float RunSettings::*field;
    float expected;
};

using ScriptSteps = WithSettings;

TEST_F(ScriptSteps, StepsTooFineToBeReachedAreRefusedAndTheFinestAcceptedAreStored) {
    const StepCase cases[] = {
        {"Angle -3 3 0.5\nAngle -2 2 0.00009\n",
         "Resolution=0.000090   *** valeur refusee (resolution plus fine que 0.0001 degre). Ligne 2",
         &RunSettings::angleStep, float(InterD(0.5f) * kOneDegree)},
        {"Angle -1 1 1e-30\n", "(resolution plus fine que 0.0001 degre). Ligne 1", &RunSettings::angleMin,
         float(InterD(-1.0f) * kOneDegree)},   // the other values are kept
        {"Angle -1 1 0.0001\n", "", &RunSettings::angleStep, float(InterD(0.0001f) * kOneDegree)},
        {"Angle -1 1 0\n", "", &RunSettings::angleStep, 0.0f},   // stops the run later, with its own message
        {"Bloc 16 4 2 0.25\nBloc 16 4 2 0.009\n",
         "Pas de decalage de bloc=0.009000   *** valeur refusee (pas plus fin que 0.01 pixel). Ligne 2",
         &RunSettings::blockShiftStep, 0.25f},
        {"Bloc 16 4 2 0.25\nBloc 16 4 2 1e-9\n", "(pas plus fin que 0.01 pixel). Ligne 2", &RunSettings::blockShiftStep,
         0.25f},
        {"Bloc 16 4 2 0.01\n", "", &RunSettings::blockShiftStep, 0.01f},
        {"Bloc 16 4 2 0.01\nBloc 16 4 2 0\n", "(le pas doit etre positif)", &RunSettings::blockShiftStep, 0.01f},
    };
    TempDir dir;
    for (const StepCase& c : cases) {
        SCOPED_TRACE(c.script);
        writeText(dir / "s.txt", c.script);
        settings.scriptFileName = (dir / "s.txt").string();
        const std::string out = captureStdout([] { readScript(); });
        EXPECT_EQ(out.find("refusee") == std::string::npos, *c.refusal == '\0') << out;
        EXPECT_NE(out.find(c.refusal), std::string::npos) << out;
        EXPECT_EQ(settings.*c.field, c.expected);
    }
}

}   // namespace
