#include "registration/frame_quality.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/random.h"
#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

class FrameQuality : public WithKernelChoice {};

TEST_F(FrameQuality, FramesBlurredByKnownAmountsRankInOrderWhateverTheNoise) {
    for (const int noise : {0, 4, 12}) {
        SCOPED_TRACE(noise);
        double previous = 1e300;
        for (const int passes : {0, 1, 2, 4, 8, 16}) {
            const OwnedImage frame(blurredFrame(160, 120, passes, noise));
            const double q = frameQuality(frame.im);
            EXPECT_LT(q, previous) << passes << " passes";
            previous = q;
        }
    }
}

// Noise and a dimmer copy barely move the measure.
TEST_F(FrameQuality, NoiseAndBrightnessBarelyMoveTheMeasure) {
    const OwnedImage clean(blurredFrame(160, 120, 2, 0));
    const OwnedImage noisy(blurredFrame(160, 120, 2, 12));
    OwnedImage dim(copyImage(clean.im));
    for (std::size_t i = 0; i < pixelBytes(160, 120); i += kBytesPerPixel)
        for (int k = 0; k < 3; ++k) dim.im.pixels[i + k] = std::uint8_t(dim.im.pixels[i + k] / 2);
    const double q = frameQuality(clean.im);
    EXPECT_NEAR(frameQuality(noisy.im), q, 0.1 * q);
    EXPECT_NEAR(frameQuality(dim.im), q, 0.05 * q);
}

TEST_F(FrameQuality, AConstantFrameAndPureNoiseRankBelowTheBlurriestFrame) {
    const OwnedImage blurriest(blurredFrame(160, 120, 16, 4));
    const OwnedImage constant(makeImage(160, 120, {90, 120, 150, 255}));
    TestRandom random(5);
    const OwnedImage noise(makeImageFrom(160, 120, [&](std::int32_t, std::int32_t) {
        return std::array<std::uint8_t, 4>{std::uint8_t(random.range(0, 255)), std::uint8_t(random.range(0, 255)),
                                           std::uint8_t(random.range(0, 255)), 255};
    }));
    const double floor = frameQuality(blurriest.im);
    EXPECT_GT(floor, 0);
    EXPECT_EQ(frameQuality(constant.im), 0);
    EXPECT_LT(frameQuality(noise.im), floor / 4);
}

TEST_F(FrameQuality, TheValueIsTheSameForEveryThreadCountAndVectorChoice) {
    const OwnedImage frame(blurredFrame(203, 157, 1, 5));
    const double first = frameQuality(frame.im);
    for (const int threads : {1, 3, 7}) {
        setWorkerCount(threads);
        setUseAvx2(threads != 3);
        EXPECT_EQ(frameQuality(frame.im), first) << threads << " threads";
    }
}

TEST_F(FrameQuality, FramesWithoutAnAreaOrWithoutLightScoreZero) {
    const OwnedImage tiny(blurredFrame(6, 40, 0, 0));
    const OwnedImage black(makeImage(40, 40, {0, 0, 0, 255}));
    const OwnedImage invalid(makeImage(40, 40, {200, 10, 30, 0}));
    EXPECT_EQ(frameQuality(Image{}), 0);
    EXPECT_EQ(frameQuality(tiny.im), 0);
    EXPECT_EQ(frameQuality(black.im), 0);
    EXPECT_EQ(frameQuality(invalid.im), 0);
}

}   // namespace
