// End-to-end check on a sample made from the bundled lunar scene with known truth, rendered
// in a temporary folder and run through kalvorine there: a small sequence with known
// rotations and shifts, registered, refined by blocks and co-added, its shifts and angles
// held against the truth. A regression in registration makes it fail.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "make_sequence/sequence.h"
#include "support/run_program.h"
#include "support/test_images.h"


namespace {

// 4 frames of 320x240 turned by up to 3 degrees, blurred (0.7 px) and noisy (3 levels), with
// make-sequence's default script: angles -5..5 by 1, translation 20, blocks 32/8/4/1, composite.
//
// Each translation is searched in whole pixels on nearest-neighbour samples, so the shift
// logged can differ from the true one by:
//   0.5 px, the rounding to whole pixels;
//   up to 0.5 px more where the samples of a turned frame are taken by truncation;
//   |t| x theta, because the search lays the sample's shift before the rotation while the
//   true shift t comes after it (it finds R(-theta) t): at most 14 px x 0.052 = 0.74 px;
//   the difference of the two frames' seeing displacements in the central window the
//   search looks at (0.5 px per frame here).
// Hence 2 px. A wrong sign, a lost shift or a search on the wrong image is off by far more.
// The coarse search tries whole degrees (0.5 degree from the truth at best, and its
// truncating samples favour 0); the refinement then moves anywhere within 1.5 degrees of
// that, as it compares whole frames without the shift. Hence 3 degrees: enough to catch a
// turn in the wrong sense on this seed's larger angles.
TEST(BundledSample, EveryShiftIsWithinTwoPixelsAndEveryAngleWithinThreeDegreesOfTheTruth) {
    TempDir folder;
    kalseq::SequenceOptions o;
    o.scenePath = KAL_SAMPLE_SCENE;
    o.outputDir = folder.path.string();
    o.frames = 4;
    o.width = 320;
    o.height = 240;
    o.seed = 20020424;
    o.maxShift = 10;
    o.seeingAmplitude = 0.5;
    std::string error;
    ASSERT_TRUE(kalseq::writeSequence(o, error)) << error;
    const RunResult r = runProgram(KAL_PROGRAM, {kalseq::scriptFileName()}, o.outputDir);
    ASSERT_TRUE(r.exitedWith(0)) << r.out << r.err;
    std::istringstream console(r.out);
    std::ifstream log(folder / "shift.lst");
    int i = 0, x = 0, y = 0;
    double theta = 0;
    for (std::string line; std::getline(console, line);) {
        if (std::sscanf(line.c_str(), "theta=%lf", &theta) != 1) continue;
        const kalseq::FrameTruth truth = kalseq::frameTruth(o, ++i);
        EXPECT_NEAR(theta, truth.rotationDegrees, 3.0) << "frame " << i;
        ASSERT_TRUE(std::getline(log, line) && std::sscanf(line.c_str(), "%d %d", &x, &y) == 2) << "frame " << i;
        EXPECT_NEAR(x, truth.shiftX, 2.0) << "frame " << i;
        EXPECT_NEAR(y, truth.shiftY, 2.0) << "frame " << i;
    }
    EXPECT_EQ(i, o.frames);
}

}   // namespace
