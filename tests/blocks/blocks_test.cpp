// The block searches on hand-made cases. The feature image, the deformation and the whole
// stage are pinned by the equivalence tests (random frames against the plain stages: bytes,
// offsets and console text) and the golden runs with blocks.
#include <cmath>

#include "blocks/block_refinement.h"
#include "blocks/block_search.h"
#include "blocks/block_stage.h"
#include "support/with_settings.h"

namespace {

using Pixel = std::array<std::uint8_t, 4>;

TEST(ParabolaVertex, IsExactClampedToHalfAPixelAndZeroWithoutAnUpwardCurve) {
    for (const auto& [vertex, expected] :
         {std::pair{0.0, 0.0}, {0.3, 0.3}, {-0.45, -0.45}, {0.5, 0.5}, {0.8, 0.5}, {-2.0, -0.5}}) {
        auto measure = [&](double x) { return 3.0 * (x - vertex) * (x - vertex) + 0.25; };
        EXPECT_NEAR(parabolaVertex(measure(-1), measure(0), measure(1)), expected, 1e-12) << vertex;
    }
    for (const auto& [minus, centre, plus] : {std::array{1.0, 1.0, 1.0}, {0.5, 1.0, 0.7}, {1.0, 2.0, 3.0}})
        EXPECT_EQ(parabolaVertex(minus, centre, plus), 0.0) << minus << " " << centre << " " << plus;
}

TEST(GridCount, CountsThePositionsBelowTheLimit) {
    // 640 x 480, G = 32, S = 8, range -4..4: columns from 13 below 627, rows from 13 below 467.
    EXPECT_EQ(
        (std::array{gridCount(13, 627, 32), gridCount(13, 467, 32), gridCount(13, 13, 32), gridCount(13, 14, 32)}),
        (std::array{20, 15, 0, 1}));
}

struct SearchCase {
    const char* what;
    double moveX, moveY;   // the bright spot of the current image, from the reference's
    std::int32_t half, range;
    float step;
    bool fractional;
    std::int32_t at;       // the block's centre (at, at)
    float dx, dy, score;   // NaN: not checked
};

const float kAny = NAN;

// clang-format off
const SearchCase kSearchCases[] = {
    {"whole steps find the displacement of the content", 2, -1, 5, 3, 1, false, 20, -2, 1, kAny},
    {"an empty range scores a billion at offset 0", 1, 1, 3, -1, 1, false, 20, 0, 0, 1e9f},
    {"an empty fractional range too", 1, 1, 3, -1, 1, true, 20, 0, 0, 1e9f},
    {"a zero range is one candidate", 1, 1, 3, 0, 0.5f, true, 17, 0, 0, kAny},
    {"a whole fractional candidate copies pixels exactly", 0, 0, 3, 0, 0.5f, true, 17, 0, 0, 0},
    // The candidates accumulate the single-precision step: with 0.1 over -3..3 the last is
    // 2.9999988; over -2..2, 2.0000006 lies above the maximum and the loop stops before it.
    {"fractional steps accumulate in single precision", -3, 0, 4, 3, 0.1f, true, 16, 2.9999988f, kAny, kAny},
    {"the last fractional candidate stays within the range", -2, 0, 4, 2, 0.1f, true, 16, 1.9000006f, kAny, kAny},
    {"quarter steps reach half pixels", -1.5, 0, 4, 2, 0.25f, true, 16, 1.5f, kAny, kAny},
};
// clang-format on

class BlockSearch : public WithSettings, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(BlockSearch, FindsTheOffsetOfABrightSpot) {
    const SearchCase& c = GetParam();
    auto spot = [](double cx, double cy) {
        return [cx, cy](int x, int y) -> Pixel {
            const auto v = std::uint8_t(20 + 200 * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / 18.0));
            return {v, v, v, 255};
        };
    };
    settings.reference = makeImageFrom(40, 40, spot(20, 20));
    settings.current = makeImageFrom(40, 40, spot(20 + c.moveX, 20 + c.moveY));
    settings.reference.x0 = settings.current.x0 = settings.reference.y0 = settings.current.y0 = 20;
    settings.blockSearchWidth = c.half;
    settings.blockShiftXMin = settings.blockShiftYMin = -c.range;
    settings.blockShiftXMax = settings.blockShiftYMax = c.range;
    settings.blockShiftStep = c.step;
    float dx = 9, dy = 9;
    const float score =
        c.fractional ? findBlockOffsetFractional(dx, dy, c.at, c.at) : findBlockOffsetInteger(dx, dy, c.at, c.at);
    EXPECT_EQ(dx, c.dx);
    EXPECT_TRUE(std::isnan(c.dy) || dy == c.dy) << dy;
    EXPECT_TRUE(std::isnan(c.score) || score == c.score) << score;
    releasePixels(settings.reference);
    releasePixels(settings.current);
}

INSTANTIATE_TEST_SUITE_P(Cases, BlockSearch, ::testing::ValuesIn(kSearchCases),
                         [](const auto& info) { return caseName(info.param.what); });

}   // namespace
