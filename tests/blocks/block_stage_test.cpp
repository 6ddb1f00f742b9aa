#include "blocks/block_stage.h"

#include <gtest/gtest.h>

#include "registration/image_difference.h"
#include "registration/resampling.h"
#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

BlockGrid uniformGrid(std::int32_t columns, std::int32_t rows, float dx, float dy) {
    BlockGrid g;
    g.columns = columns;
    g.rows = rows;
    const std::size_t n = std::size_t(columns + 1) * std::size_t(rows + 1);
    g.offsetX.assign(n, dx);
    g.offsetY.assign(n, dy);
    g.score.assign(n, 1);
    return g;
}

TEST(GridCount, CountsThePositionsBelowTheLimit) {
    // 640 x 480, G = 32, S = 8, range -4..4: columns from 13 below 627, rows from 13 below 467.
    EXPECT_EQ(gridCount(13, 640 - 8 - 4 - 1, 32), 20);
    EXPECT_EQ(gridCount(13, 480 - 8 - 4 - 1, 32), 15);
    EXPECT_EQ(gridCount(13, 13, 32), 0);
    EXPECT_EQ(gridCount(13, 14, 32), 1);
}

TEST(DeformImage, ZeroOffsetsGiveTheSourceBackExactly) {
    OwnedImage src(syntheticFrame(50, 40, 5, 1, 1));
    pixelAt(src.im, 3, 4)[3] = 0;
    pixelAt(src.im, 49, 39)[3] = 17;
    OwnedImage out(deformImage(src.im.pixels, 50, 40, 7, 8, uniformGrid(3, 2, 0, 0), 16, 16));
    EXPECT_EQ(out.im.x0, 7);
    EXPECT_EQ(out.im.y0, 8);
    ASSERT_EQ(out.im.width, 50);
    EXPECT_TRUE(std::equal(out.im.pixels, out.im.pixels + pixelBytes(50, 40), src.im.pixels));
}

TEST(DeformImage, NearTheFirstNodeTheFirstBlockOffsetMovesPixels) {
    OwnedImage src(syntheticFrame(40, 40, 0, 0, 0));
    // With G = 32 every pixel with x, y <= 16 uses block (0, 0) alone.
    OwnedImage whole(deformImage(src.im.pixels, 40, 40, 0, 0, uniformGrid(1, 1, 2, 0), 32, 32));
    for (int y = 0; y <= 16; ++y) {
        EXPECT_EQ(pixelOf(whole.im, 0, y), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
        EXPECT_EQ(pixelOf(whole.im, 1, y), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
        for (int x = 2; x <= 16; ++x) ASSERT_EQ(pixelOf(whole.im, x, y), pixelOf(src.im, x - 2, y)) << x << "," << y;
    }
    OwnedImage half(deformImage(src.im.pixels, 40, 40, 0, 0, uniformGrid(1, 1, 0.5f, 0), 32, 32));
    for (int y = 0; y <= 16; ++y) {
        for (int x = 1; x <= 16; ++x)
            for (int k = 0; k < 4; ++k)
                ASSERT_EQ(pixelOf(half.im, x, y)[k], (pixelOf(src.im, x - 1, y)[k] + pixelOf(src.im, x, y)[k]) / 2);
        for (int k = 0; k < 3; ++k) {
            const int extrapolated = int(1.5 * pixelOf(src.im, 0, y)[k] - 0.5 * pixelOf(src.im, 1, y)[k]);
            EXPECT_EQ(pixelOf(half.im, 0, y)[k], std::uint8_t(extrapolated));
        }
    }
}

TEST(DeformImage, AValidPixelBesideAnInvalidOneGivesHalfValidity) {
    OwnedImage src(makeImageFrom(8, 4, [](int x, int) -> std::array<std::uint8_t, 4> {
        return {100, 100, 100, std::uint8_t(x == 2 ? 0 : 255)};
    }));
    OwnedImage out(deformImage(src.im.pixels, 8, 4, 0, 0, uniformGrid(1, 1, 0.5f, 0), 32, 32));
    EXPECT_EQ(pixelOf(out.im, 3, 1)[3], 127);
    EXPECT_EQ(pixelOf(out.im, 2, 1)[3], 127);
}

TEST(DeformImage, OddSpacingsExtrapolateSlightly) {
    // G = 3 (k = 1): at x = 1 + 3i the weight is -0.5/3, so the offset of column i leaks in
    // from column i + 1 with a negative weight. Offsets 0 in column 0 and 3 in column 1.
    BlockGrid g = uniformGrid(2, 1, 0, 0);
    g.offsetX[1] = 3;
    OwnedImage src(makeImageFrom(12, 2, [](int x, int) -> std::array<std::uint8_t, 4> {
        return {std::uint8_t(10 * x), 0, 0, 255};
    }));
    OwnedImage out(deformImage(src.im.pixels, 12, 2, 0, 0, g, 3, 3));
    // x = 4: i = 1 (last column), weight 0: offset 3 -> source x = 1.
    EXPECT_EQ(pixelOf(out.im, 4, 0)[0], 10);
    // x = 2: i = 0, weight (2 - 1.5) / 3: offset 0.5 -> source 1.5 -> 15.
    EXPECT_EQ(pixelOf(out.im, 2, 0)[0], 15);
    // G = 1: at x = 1, i = 1 = nx - 1 so the weight is reset to 0 and column 1's offset is used alone.
    BlockGrid g1 = uniformGrid(3, 1, 0, 0);
    g1.offsetX = {0, 0, 4, 0, 0, 0, 0, 0};
    OwnedImage out1(deformImage(src.im.pixels, 12, 2, 0, 0, g1, 1, 1));
    // x = 1: i = 1, weight (1 - 1.5) / 1 = -0.5 between columns 1 and 2: offset -0.5*... = 0*1.5 + 4*(-0.5) = -2.
    EXPECT_EQ(pixelOf(out1.im, 1, 0)[0], 30);
}

class BlockStage : public WithSettings {};

TEST_F(BlockStage, ReducesTheResidualOfALocallyWarpedImage) {
    // The current image is the reference with its right half moved by one pixel: the global
    // alignment cannot fix that, the block stage can.
    settings.reference = syntheticFrame(96, 72, 0, 0, 0);
    Image warped = syntheticFrame(96, 72, 0, 0, 0);
    Image moved = syntheticFrame(96, 72, 0, 1, 1);
    for (int y = 0; y < 72; ++y)
        for (int x = 48; x < 96; ++x) std::copy_n(pixelAt(moved, x, y), 4, pixelAt(warped, x, y));
    releasePixels(moved);
    settings.current = warped;
    settings.reference.x0 = settings.current.x0 = 48;
    settings.reference.y0 = settings.current.y0 = 36;
    settings.blockGridWidth = 16;
    settings.blockSearchWidth = 5;
    settings.blockShiftXMin = settings.blockShiftYMin = -2;
    settings.blockShiftXMax = settings.blockShiftYMax = 2;
    settings.blockShiftStep = 1.0f;
    const Extended before = imageDifference(settings.current, settings.reference);
    const Image referenceBefore = copyImage(settings.reference);
    const std::string out = captureStdout([] { runBlockStage(); });
    const Extended after = imageDifference(settings.current, settings.reference);
    EXPECT_LT(after, before * 0.7);
    EXPECT_EQ(out, "Ajustage par blocs\nCalcul du meilleur ajustage (5 blocs en largeur 4 blocs en hauteur)\n" +
                       std::string(50, '-') + "\n" + std::string(41, '*') + "\nDeformation de l'image\n");
    EXPECT_TRUE(
        std::equal(referenceBefore.pixels, referenceBefore.pixels + pixelBytes(96, 72), settings.reference.pixels))
        << "the reference is restored";
    Image owned = referenceBefore;
    releasePixels(owned);
}

TEST_F(BlockStage, ProgressStarsFollowTheColumns) {
    // One star for nx = 1; 1, 16, 17 for nx = 3 (34 in all); 50 for nx = 100.
    for (const auto& [width, stars] : std::vector<std::pair<int, int>>{{4, 1}, {8, 34}, {202, 50}}) {
        resetRunSettings();
        settings.reference = makeImage(width, 12, {9, 9, 9, 255});
        settings.current = makeImage(width, 12, {9, 9, 9, 255});
        settings.blockGridWidth = 2;
        settings.blockSearchWidth = 0;
        settings.blockShiftStep = 1.0f;
        const std::string out = captureStdout([] { runBlockStage(); });
        const std::size_t from = out.find(std::string(50, '-') + "\n") + 51;
        EXPECT_EQ(out.find('\n', from) - from, std::size_t(stars)) << width;
    }
}

}   // namespace
