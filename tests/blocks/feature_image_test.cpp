#include "blocks/feature_image.h"

#include <gtest/gtest.h>

#include "support/test_images.h"

namespace {

TEST(FeatureImage, BrightnessIsTheTruncatedMeanOfTheThreeColours) {
    OwnedImage im(makeImage(1, 1, {10, 20, 31, 7}));
    makeFeatureImage(im.im);
    EXPECT_EQ(pixelOf(im.im, 0, 0), (std::array<std::uint8_t, 4>{20, 20, 31, 7}));
    OwnedImage white(makeImage(1, 1, {255, 255, 255, 0}));
    makeFeatureImage(white.im);
    EXPECT_EQ(pixelOf(white.im, 0, 0)[0], 255);
}

TEST(FeatureImage, GradientsTruncateTowardZeroAndBordersKeepTheirColours) {
    // Brightness by column: 255, 0, 1, 0, 255; every row alike, so vertical gradients are 0.
    const std::uint8_t level[5] = {255, 0, 1, 0, 255};
    OwnedImage im(makeImageFrom(5, 3, [&](int x, int y) -> std::array<std::uint8_t, 4> {
        return {level[x], level[x], level[x], std::uint8_t(y == 1 ? 0 : 255)};
    }));
    makeFeatureImage(im.im);
    EXPECT_EQ(pixelOf(im.im, 1, 1)[1], 127 + 128);   // left 255, right 1: (255 - 1) / 2 = 127
    EXPECT_EQ(pixelOf(im.im, 2, 1)[1], 128);         // 0 - 0
    EXPECT_EQ(pixelOf(im.im, 3, 1)[1], 1);           // (1 - 255) / 2 = -127, + 128
    EXPECT_EQ(pixelOf(im.im, 1, 1)[2], 128);
    for (int x = 0; x < 5; ++x) {
        EXPECT_EQ(pixelOf(im.im, x, 0), (std::array<std::uint8_t, 4>{level[x], level[x], level[x], 255}));
        EXPECT_EQ(pixelOf(im.im, x, 1)[3], 0) << "validity untouched";
    }
}

TEST(FeatureImage, DifferencesOfOneGiveNoGradient) {
    // Rows of brightness 10, 11, 10, 9, 10, and 12 at (2, 1): pixel (1, 1) sees left - right =
    // 11 - 12 = -1, pixel (1, 2) sees above - below = 11 - 9 = 2.
    const std::uint8_t rows[5] = {10, 11, 10, 9, 10};
    OwnedImage im(makeImageFrom(3, 5, [&](int x, int y) -> std::array<std::uint8_t, 4> {
        const std::uint8_t v = std::uint8_t(rows[y] + (y == 1 && x == 2 ? 1 : 0));
        return {v, v, v, 255};
    }));
    makeFeatureImage(im.im);
    EXPECT_EQ(pixelOf(im.im, 1, 1)[1], 128);   // -1 / 2 = 0: truncation toward zero, not 127
    EXPECT_EQ(pixelOf(im.im, 1, 2)[2], 129);
    OwnedImage tiny(makeImage(2, 2, {3, 6, 9, 255}));
    makeFeatureImage(tiny.im);
    EXPECT_EQ(pixelOf(tiny.im, 1, 1), (std::array<std::uint8_t, 4>{6, 6, 9, 255}));
}

}   // namespace

namespace {

TEST(FeatureImage, BrightnessIsExactForEverySumOfThreeBytes) {
    // Every colour sum 0 .. 765 through one pixel each, against the exact quotient.
    OwnedImage im(makeImageFrom(766, 1, [](int x, int) -> std::array<std::uint8_t, 4> {
        const int c0 = std::min(x, 255), c1 = std::min(x - c0, 255), c2 = x - c0 - c1;
        return {std::uint8_t(c0), std::uint8_t(c1), std::uint8_t(c2), 255};
    }));
    makeFeatureImage(im.im);
    for (int x = 0; x <= 765; ++x) ASSERT_EQ(pixelOf(im.im, x, 0)[0], x / 3) << x;
}

}   // namespace
