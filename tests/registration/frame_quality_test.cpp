#include "registration/frame_quality.h"

#include <gtest/gtest.h>

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

// Noise and a dimmer copy barely move the measure; threads and kernels not at all.
TEST_F(FrameQuality, NoiseAndBrightnessBarelyMoveTheMeasureThreadsNotAtAll) {
    const OwnedImage clean(blurredFrame(163, 121, 2, 0));   // odd sides: the vector loops' tails
    const OwnedImage noisy(blurredFrame(163, 121, 2, 12));
    OwnedImage dim(copyImage(clean.im));
    for (std::size_t i = 0; i < pixelBytes(163, 121); i += kBytesPerPixel)
        for (int k = 0; k < 3; ++k) dim.im.pixels[i + k] = std::uint8_t(dim.im.pixels[i + k] / 2);
    const double q = frameQuality(clean.im);
    EXPECT_NEAR(frameQuality(noisy.im), q, 0.1 * q);
    EXPECT_NEAR(frameQuality(dim.im), q, 0.05 * q);
    for (const int threads : {1, 3, 7}) {   // the same to the bit on any threads, either kernel
        setWorkerCount(threads);
        setUseAvx2(threads != 3);
        EXPECT_EQ(frameQuality(clean.im), q) << threads << " threads";
    }
}

TEST_F(FrameQuality, PureNoiseRanksBelowTheBlurriestFrameAndFramesWithoutDetailScoreZero) {
    const OwnedImage blurriest(blurredFrame(160, 120, 16, 4));
    const OwnedImage constant(makeImage(160, 120, {90, 120, 150, 255}));
    TestRandom random(5);
    const OwnedImage noise(makeImageFrom(160, 120, [&](std::int32_t, std::int32_t) {
        return std::array<std::uint8_t, 4>{std::uint8_t(random.range(0, 255)), std::uint8_t(random.range(0, 255)),
                                           std::uint8_t(random.range(0, 255)), 255};
    }));
    const double floor = frameQuality(blurriest.im);
    EXPECT_GT(floor, 0);
    EXPECT_LT(frameQuality(noise.im), floor / 4);
    // Frames without an area (empty, narrower than the measure's window) or without light.
    const OwnedImage tiny(blurredFrame(6, 40, 0, 0)), black(makeImage(40, 40, {0, 0, 0, 255}));
    const OwnedImage invalid(makeImage(40, 40, {200, 10, 30, 0}));
    for (const Image* im : {&constant.im, &tiny.im, &black.im, &invalid.im}) EXPECT_EQ(frameQuality(*im), 0);
    EXPECT_EQ(frameQuality(Image{}), 0);
}

}   // namespace
