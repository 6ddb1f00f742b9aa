#include "registration/resampling.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/test_images.h"

namespace {

TEST(RotatedSample, AtAngleZeroCopiesEvenRowsOfTheWindowAndInvalidatesOddRows) {
    OwnedImage src(syntheticFrame(40, 30, 0, 0, 0));
    src.im.x0 = 5;   // the window reaches past the left and top edges
    src.im.y0 = 6;
    OwnedImage s(rotatedSample(src.im, 16, 12, 0.0f));
    EXPECT_EQ(std::tie(s.im.x0, s.im.y0), std::make_tuple(8, 6));
    for (int j = 0; j < 12; ++j)
        for (int i = 0; i < 16; ++i) {
            const int x = i - 8 + 5, y = j - 6 + 6;
            if (j % 2 == 1 || x < 0 || y < 0)
                EXPECT_EQ(pixelOf(s.im, i, j)[3], 0) << i << "," << j;
            else
                EXPECT_EQ(pixelOf(s.im, i, j), pixelOf(src.im, x, y)) << i << "," << j;
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
