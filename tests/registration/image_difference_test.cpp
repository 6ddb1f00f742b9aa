#include "registration/image_difference.h"

#include <gtest/gtest.h>

#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

using ImageDifference = WithSettings;

TEST_F(ImageDifference, NoOverlapScoresExactlyTheSinglePrecisionFiveHundredths) {
    OwnedImage a(makeImage(4, 3, {1, 2, 3, 255}, 0, 0));
    OwnedImage b(makeImage(4, 3, {9, 9, 9, 255}, 10, 0));   // b lies wholly right of a
    EXPECT_EQ(imageDifference(a.im, b.im), Extended(0.05f));
    b.im.x0 = 0;
    b.im.y0 = -3;   // and now wholly below
    EXPECT_EQ(imageDifference(a.im, b.im), Extended(0.05f));
    OwnedImage empty(makeImage(0, 0, {0, 0, 0, 0}));
    EXPECT_EQ(imageDifference(a.im, empty.im), Extended(0.05f));
}

TEST_F(ImageDifference, PairsWithAnInvalidPixelCostHalfThePenalty) {
    OwnedImage a(makeImage(5, 5, {1, 2, 3, 0}, 2, 2));
    OwnedImage b(makeImage(5, 5, {200, 2, 3, 255}, 2, 2));
    EXPECT_EQ(imageDifference(a.im, b.im), Extended(0.5f * 0.01f));
}

TEST_F(ImageDifference, IdenticalImagesScoreZero) {
    OwnedImage a(syntheticFrame(30, 20, 0, 0, 0));
    OwnedImage b(syntheticFrame(30, 20, 0, 0, 0));
    EXPECT_EQ(imageDifference(a.im, b.im), 0);
}

TEST_F(ImageDifference, ChannelOneAndTwoWeighFourTimesChannelZero) {
    // Pair 1 differs by 1 in channel 0, pair 2 by 1 in channel 1; validity 1 counts as valid.
    OwnedImage a(makeImageFrom(2, 1, [](int x, int) -> std::array<std::uint8_t, 4> {
        return x == 0 ? std::array<std::uint8_t, 4>{11, 5, 5, 1} : std::array<std::uint8_t, 4>{10, 6, 5, 255};
    }));
    OwnedImage b(makeImage(2, 1, {10, 5, 5, 255}));
    const Extended expected = (Extended(1) + Extended(kInverse255) + 4 + 16 * Extended(kInverse255)) / 2;
    EXPECT_EQ(imageDifference(a.im, b.im), expected);
    EXPECT_NEAR(double(expected), (5 + 17.0 / 255) / 2, 1e-8);
}

TEST_F(ImageDifference, IsSymmetricAndComparesOnlyTheOverlap) {
    OwnedImage big(syntheticFrame(40, 30, 0, 0, 0));
    OwnedImage small(syntheticFrame(10, 8, 10, 3, -2));
    big.im.x0 = 20;
    big.im.y0 = 15;
    small.im.x0 = 5;
    small.im.y0 = 4;
    const Extended ab = imageDifference(big.im, small.im);
    EXPECT_EQ(ab, imageDifference(small.im, big.im));
    // The same score from the part of big that lies under small, cut out by hand.
    OwnedImage cut(makeImageFrom(10, 8, [&](int x, int y) { return pixelOf(big.im, x + 15, y + 11); }));
    cut.im.x0 = 5;
    cut.im.y0 = 4;
    EXPECT_EQ(ab, imageDifference(cut.im, small.im));
}

TEST_F(ImageDifference, TheMeanCountsInvalidPairsToo) {
    OwnedImage a(makeImageFrom(2, 1, [](int x, int) -> std::array<std::uint8_t, 4> {
        return {0, 0, 0, std::uint8_t(x == 0 ? 0 : 255)};
    }));
    OwnedImage b(makeImage(2, 1, {3, 0, 0, 255}));
    // (0.005 + 9 + 81/255) / 2
    const Extended expected = (Extended(0.5f * 0.01f) + Inter(81) * Inter(kInverse255) + 9) / Inter(2);
    EXPECT_EQ(imageDifference(a.im, b.im), expected);
}

}   // namespace
