#include "blocks/block_search.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

class BlockSearch : public WithSettings {
protected:
    // A reference with one bright spot at (spotX, spotY) and a current image with the same spot
    // moved by (moveX, moveY): the block around it matches best at offset (-moveX, -moveY).
    void scene(double moveX, double moveY, int half, int range, float step) {
        auto spot = [](double cx, double cy) {
            return [cx, cy](int x, int y) -> std::array<std::uint8_t, 4> {
                const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                const auto v = std::uint8_t(20 + 200 * std::exp(-d2 / 18.0));
                return {v, v, v, 255};
            };
        };
        releasePixels(settings.reference);
        releasePixels(settings.current);
        settings.reference = makeImageFrom(40, 40, spot(20, 20));
        settings.current = makeImageFrom(40, 40, spot(20 + moveX, 20 + moveY));
        settings.reference.x0 = settings.current.x0 = 20;
        settings.reference.y0 = settings.current.y0 = 20;
        settings.blockSearchWidth = half;
        settings.blockShiftXMin = settings.blockShiftYMin = -range;
        settings.blockShiftXMax = settings.blockShiftYMax = range;
        settings.blockShiftStep = step;
    }
};

TEST_F(BlockSearch, WholeStepsFindTheDisplacementOfTheContent) {
    scene(2, -1, 5, 3, 1.0f);
    float dx = 9, dy = 9;
    const float score = findBlockOffsetInteger(dx, dy, 20, 20);
    EXPECT_EQ(dx, -2);
    EXPECT_EQ(dy, 1);
    EXPECT_LT(score, 1.0f);
}

TEST_F(BlockSearch, AStepOfTwoTriesEveryOtherOffset) {
    scene(2, 1, 5, 3, 2.0f);   // -3, -1, 1, 3 only: -2 and -1 are not candidates
    float dx = 0, dy = 0;
    findBlockOffsetInteger(dx, dy, 20, 20);
    EXPECT_TRUE(dx == -3 || dx == -1) << dx;
    EXPECT_TRUE(dy == -1 || dy == 1) << dy;
}

TEST_F(BlockSearch, AnEmptyRangeScoresOneBillionAndAZeroRangeOneCandidate) {
    scene(1, 1, 3, -1, 1.0f);   // minimum 1 above maximum -1: no candidate
    float dx = 5, dy = 5;
    EXPECT_EQ(findBlockOffsetInteger(dx, dy, 20, 20), 1e9f);
    EXPECT_EQ(dx, 0);
    EXPECT_EQ(dy, 0);
    EXPECT_EQ(findBlockOffsetFractional(dx, dy, 20, 20), 1e9f);
    scene(1, 1, 3, 0, 0.5f);
    EXPECT_LT(findBlockOffsetFractional(dx, dy, 17, 17), 1e9f);
    EXPECT_EQ(dx, 0);
    EXPECT_EQ(dy, 0);
}

// The fractional candidates accumulate the single-precision step: with 0.1 over -3..3 the
// last value is 2.9999988, and the content moved by -3 makes it the best.
TEST_F(BlockSearch, FractionalStepsAccumulateInSinglePrecision) {
    scene(-3, 0, 4, 3, 0.1f);
    float dx = 0, dy = 0;
    findBlockOffsetFractional(dx, dy, 16, 16);
    EXPECT_EQ(dx, 2.9999988f);
    scene(-2, 0, 4, 2, 0.1f);
    findBlockOffsetFractional(dx, dy, 16, 16);
    EXPECT_EQ(dx, 1.9000006f);   // 2.0000006 lies above the maximum 2: the loop stops before it
    scene(-1.5, 0, 4, 2, 0.25f);
    findBlockOffsetFractional(dx, dy, 16, 16);
    EXPECT_EQ(dx, 1.5f);
}

TEST_F(BlockSearch, AWholeFractionalCandidateCopiesPixelsExactly) {
    // Same content, offset 0: the fractional block at (bx, by) is an exact copy, score 0.
    scene(0, 0, 3, 0, 0.5f);
    float dx = 1, dy = 1;
    EXPECT_EQ(findBlockOffsetFractional(dx, dy, 17, 17), 0.0f);
    settings.blockShiftStep = 1.0f;
    EXPECT_EQ(findBlockOffsetInteger(dx, dy, 20, 20), 0.0f);
}

}   // namespace
