#include "registration/resampling.h"

#include <gtest/gtest.h>

#include "support/test_images.h"

namespace {

TEST(ScaledCopy, AtOneEighthCopiesEveryEighthPixelAndPoint) {
    OwnedImage src(makeImageFrom(640, 480, [](int x, int y) -> std::array<std::uint8_t, 4> {
        return {std::uint8_t(x), std::uint8_t(y), std::uint8_t(x ^ y), std::uint8_t(1 + (x + y) % 255)};
    }));
    src.im.x0 = 321;
    src.im.y0 = 243;
    OwnedImage small(scaledCopy(src.im, 0.125f));
    EXPECT_EQ(small.im.width, 80);
    EXPECT_EQ(small.im.height, 60);
    EXPECT_EQ(small.im.x0, 40);
    EXPECT_EQ(small.im.y0, 30);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x) ASSERT_EQ(pixelOf(small.im, x, y), pixelOf(src.im, 8 * x, 8 * y)) << x << "," << y;
}

TEST(ScaledCopy, OfAnImageNarrowerThanEightPixelsIsEmpty) {
    OwnedImage src(makeImage(7, 40, {1, 2, 3, 255}));
    OwnedImage small(scaledCopy(src.im, 0.125f));
    EXPECT_EQ(small.im.width, 0);
    EXPECT_EQ(small.im.height, 5);
    EXPECT_EQ(small.im.pixels, nullptr);
}

TEST(RotatedSample, AtAngleZeroCopiesEvenRowsOfTheWindowAndInvalidatesOddRows) {
    OwnedImage src(syntheticFrame(40, 30, 0, 0, 0));
    src.im.x0 = 5;   // the window reaches past the left and top edges
    src.im.y0 = 6;
    OwnedImage s(rotatedSample(src.im, 16, 12, 0.0f));
    EXPECT_EQ(s.im.x0, 8);
    EXPECT_EQ(s.im.y0, 6);
    for (int j = 0; j < 12; ++j)
        for (int i = 0; i < 16; ++i) {
            const int x = i - 8 + 5, y = j - 6 + 6;
            if (j % 2 == 1 || x < 0 || y < 0)
                EXPECT_EQ(pixelOf(s.im, i, j)[3], 0) << i << "," << j;
            else
                EXPECT_EQ(pixelOf(s.im, i, j), pixelOf(src.im, x, y)) << i << "," << j;
        }
}

TEST(RotatedSample, PositionsBetweenMinusOneAndZeroTruncateToTheFirstColumn) {
    OwnedImage src(makeImageFrom(10, 10, [](int x, int y) -> std::array<std::uint8_t, 4> {
        return {std::uint8_t(x), std::uint8_t(y), 0, 255};
    }));
    src.im.x0 = 0;
    src.im.y0 = 5;
    // A small angle turns row 0 of the sample (v = -5) slightly: X = cos*u + 5 sin(a) > -1.
    OwnedImage s(rotatedSample(src.im, 2, 10, 0.05f));
    EXPECT_EQ(pixelOf(s.im, 0, 0)[0], 0);
    EXPECT_EQ(pixelOf(s.im, 0, 0)[3], 255);
}

TEST(RotateAndShift, ByOneDegreeGivesTheBoundingBoxAndTurnedPoint) {
    OwnedImage src(makeImage(640, 480, {1, 2, 3, 255}));
    OwnedImage out(rotateAndShift(src.im.pixels, 640, 480, 320, 240, 0.017453292f, 0, 0));
    EXPECT_EQ(out.im.width, 648);
    EXPECT_EQ(out.im.height, 491);
    EXPECT_EQ(out.im.x0, 324);
    EXPECT_EQ(out.im.y0, 245);
    OwnedImage back(rotateAndShift(src.im.pixels, 640, 480, 320, 240, -0.017453292f, 0, 0));
    EXPECT_EQ(back.im.width, 648);
    EXPECT_EQ(back.im.height, 491);
}

TEST(RotateAndShift, AtAngleZeroWithWholeShiftsMovesPixels) {
    OwnedImage src(syntheticFrame(30, 20, 0, 0, 0));
    OwnedImage out(rotateAndShift(src.im.pixels, 30, 20, 12, 9, 0.0f, 3, -2));
    EXPECT_EQ(out.im.width, 30);
    EXPECT_EQ(out.im.height, 20);
    EXPECT_EQ(out.im.x0, 12);
    EXPECT_EQ(out.im.y0, 9);
    for (int row = 0; row < 20; ++row)
        for (int col = 0; col < 30; ++col) {
            const int x = col + 3, y = row - 2;
            const std::array<std::uint8_t, 4> expected =
                x < 30 && y >= 0 ? pixelOf(src.im, x, y) : std::array<std::uint8_t, 4>{0, 0, 0, 0};
            ASSERT_EQ(pixelOf(out.im, col, row), expected) << col << "," << row;
        }
}

TEST(Interpolation, ANegativeFractionExtrapolatesAndKeepsTheLowEightBits) {
    // Source column 0 holds 255, column 1 holds 0: position -0.5 gives 1.5*255 - 0.5*0 = 382.5.
    OwnedImage src(makeImageFrom(2, 2, [](int x, int) -> std::array<std::uint8_t, 4> {
        return x == 0 ? std::array<std::uint8_t, 4>{255, 255, 255, 255} : std::array<std::uint8_t, 4>{0, 0, 0, 255};
    }));
    std::uint8_t out[4];
    interpolateAt(src.im.pixels, 2, 2, -0.5f, 0.0f, out);
    EXPECT_EQ(out[0], 126);   // 382 & 0xFF
    EXPECT_EQ(out[3], 255);
    interpolateAt(src.im.pixels, 2, 2, -1.0f, 0.0f, out);
    EXPECT_EQ(out[3], 0);
    interpolateAt(src.im.pixels, 2, 2, 1.0f, 1.0f, out);   // last column and row: copied
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[3], 255);
}

}   // namespace
