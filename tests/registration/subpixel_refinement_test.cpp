// Sub-pixel refinement on frames rendered from the lunar scene with an exactly known placement.
#include "registration/subpixel_refinement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "common/parallel.h"
#include "make_sequence/sequence.h"
#include "support/with_settings.h"

namespace {

constexpr double kTargetPixels = 0.02;   // RMS over the frame of the placement's error
constexpr std::int32_t kWidth = 320, kHeight = 240;

const kalseq::Raster& scene() {
    static kalseq::Raster raster;
    if (raster.width == 0) {
        std::string error;
        if (!kalseq::readBmp(KAL_SAMPLE_SCENE, raster, error)) std::abort();
    }
    return raster;
}

kalseq::SequenceOptions frameOptions() {
    kalseq::SequenceOptions o;
    o.width = kWidth;
    o.height = kHeight;
    o.seeingAmplitude = 0;   // a rigid motion and nothing else: the truth is exact
    o.blurSigma = 0.7;
    o.noiseSigma = 3;
    return o;
}

// A frame of the scene placed by truth, as kalvorine holds it: reference point at the centre.
Image placedFrame(const kalseq::FrameTruth& truth, std::int32_t index) {
    const kalseq::Raster r = kalseq::renderPlacedFrame(scene(), frameOptions(), index, truth);
    const std::vector<std::uint8_t> px = kalseq::withValidity(r);
    Image im;
    im.width = r.width;
    im.height = r.height;
    im.x0 = r.width / 2;
    im.y0 = r.height / 2;
    im.pixels = allocatePixels(im.width, im.height);
    std::copy(px.begin(), px.end(), im.pixels);
    return im;
}

// Validity 0 in a band of the given width along every edge.
void invalidateBorder(Image& im, std::int32_t band) {
    for (std::int32_t y = 0; y < im.height; ++y)
        for (std::int32_t x = 0; x < im.width; ++x)
            if (x < band || y < band || x >= im.width - band || y >= im.height - band) pixelAt(im, x, y)[3] = 0;
}

kalseq::FrameTruth placementOf(const RigidMotion& m) { return {m.angle * 180 / M_PI, m.shiftX, m.shiftY}; }

struct Case {
    const char* name;
    double degrees, shiftX, shiftY;   // the true placement
    double startDegrees;              // where the whole-pixel search left the angle
    std::int32_t invalidBand;         // validity 0 this far from each edge of the source
};

class SubpixelRefinement : public WithKernelChoice, public ::testing::WithParamInterface<Case> {};
class RefinedFrame : public WithKernelChoice {};

// From the whole-pixel start to within the target, the same to the bit on one thread and three.
TEST_P(SubpixelRefinement, LandsWithinTheTargetFromTheWholePixelStart) {
    const Case c = GetParam();
    OwnedImage reference(placedFrame({}, 0)), source(placedFrame({c.degrees, c.shiftX, c.shiftY}, 1));
    invalidateBorder(source.im, c.invalidBand);
    const RigidMotion start{c.startDegrees * M_PI / 180, double(std::int32_t(c.shiftX)),
                            double(std::int32_t(c.shiftY))};
    const RefinedMotion r = refineRigidMotion(reference.im, source.im, start, 20);
    EXPECT_TRUE(r.refined);
    const double error =
        kalseq::placementDistance(placementOf(r.motion), {c.degrees, c.shiftX, c.shiftY}, kWidth, kHeight);
    EXPECT_LT(error, kTargetPixels) << "found " << r.motion.angle * 180 / M_PI << " " << r.motion.shiftX << " "
                                    << r.motion.shiftY;
    EXPECT_GT(r.pixelsUsed, 2500) << "the strongly textured pixels of the overlap";
    EXPECT_LT(r.residual, 4.0) << "noise of 3 grey levels per channel in both frames";
    setWorkerCount(3);
    const RefinedMotion again = refineRigidMotion(reference.im, source.im, start, 20);
    EXPECT_TRUE(again.motion.angle == r.motion.angle && again.motion.shiftX == r.motion.shiftX &&
                again.motion.shiftY == r.motion.shiftY && again.residual == r.residual);
}

INSTANTIATE_TEST_SUITE_P(Placements, SubpixelRefinement,
                         ::testing::Values(Case{"NoMotionFromATurnedStart", 0, 0, 0, 0.4, 0},
                                           Case{"SmallTurnAndShift", 0.37, 0.25, -0.4, 0, 0},
                                           Case{"NearTheEndOfAThreeDegreeRange", 2.93, 7.3, -4.6, 3, 0},
                                           Case{"NegativeEndOfAFiveDegreeRange", -4.81, -12.7, 9.2, -5, 0},
                                           Case{"TenDegreesAndThirtyPixels", 9.62, 27.45, -29.3, 10, 0},
                                           Case{"InvalidBorderOfTwelvePixels", -1.47, 3.61, 2.18, -1, 12},
                                           Case{"InvalidBorderAndLargeTurn", 4.55, -8.85, 6.05, 5, 20}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The start is kept when the frames have nothing in common, or when the refinement would move
// further than allowed (0.4 px against 0.1).
TEST_F(RefinedFrame, TheStartIsKeptWithNothingInCommonOrBeyondTheAllowedMove) {
    OwnedImage reference(placedFrame({}, 0)), blank(placedFrame({0.5, 1.5, 2.5}, 3)), far(placedFrame({0, 3.4, 0}, 4));
    invalidateBorder(blank.im, kWidth);
    const struct {
        const Image& source;
        RigidMotion start;
        double allowed;
    } cases[] = {{blank.im, {0.01, 1, 2}, 20}, {far.im, {0, 3, 0}, 0.1}};
    for (const auto& c : cases) {
        const RefinedMotion r = refineRigidMotion(reference.im, c.source, c.start, c.allowed);
        EXPECT_FALSE(r.refined);
        EXPECT_TRUE(r.motion.angle == c.start.angle && r.motion.shiftX == c.start.shiftX &&
                    r.motion.shiftY == c.start.shiftY);
    }
}

TEST(PlacementDistance, IsZeroForEqualPlacementsAndTheShiftForAPureShift) {
    EXPECT_EQ(kalseq::placementDistance({1.5, 2, -1}, {1.5, 2, -1}, 640, 480), 0.0);
    EXPECT_NEAR(kalseq::placementDistance({0, 0.3, 0.4}, {}, 640, 480), 0.5, 1e-12);
    EXPECT_GT(kalseq::placementDistance({0.1, 0, 0}, {}, 640, 480), 0.3);   // a turn about the centre counts
}

}   // namespace
