// The sub-pixel vertex of the block refinement, which the plain block stage does not have.
// The block searches, the grid, the feature image, the deformation and the whole stage are
// pinned by the equivalence tests (random frames against the plain stages, offsets up to 3 by
// steps from 0.1 to 2: bytes, offsets and console text) and the golden runs with blocks.
#include "blocks/block_refinement.h"
#include "support/with_settings.h"

namespace {

TEST(ParabolaVertex, IsExactClampedToHalfAPixelAndZeroWithoutAnUpwardCurve) {
    for (const auto& [vertex, expected] :
         {std::pair{0.0, 0.0}, {0.3, 0.3}, {-0.45, -0.45}, {0.5, 0.5}, {0.8, 0.5}, {-2.0, -0.5}}) {
        auto measure = [&](double x) { return 3.0 * (x - vertex) * (x - vertex) + 0.25; };
        EXPECT_NEAR(parabolaVertex(measure(-1), measure(0), measure(1)), expected, 1e-12) << vertex;
    }
    for (const auto& [minus, centre, plus] : {std::array{1.0, 1.0, 1.0}, {0.5, 1.0, 0.7}, {1.0, 2.0, 3.0}})
        EXPECT_EQ(parabolaVertex(minus, centre, plus), 0.0) << minus << " " << centre << " " << plus;
}

}   // namespace
