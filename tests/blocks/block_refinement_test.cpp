// The sub-pixel fit of a block offset.
#include "blocks/block_refinement.h"

#include <gtest/gtest.h>

namespace {

struct Parabola {
    double vertex;     // where the measure is lowest, in pixels from the whole offset
    double expected;   // what the fit gives back
};

class ParabolaVertex : public ::testing::TestWithParam<Parabola> {};

TEST_P(ParabolaVertex, IsFoundExactlyAndClampedToHalfAPixel) {
    const Parabola p = GetParam();
    auto measure = [&](double x) { return 3.0 * (x - p.vertex) * (x - p.vertex) + 0.25; };
    EXPECT_NEAR(parabolaVertex(measure(-1), measure(0), measure(1)), p.expected, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Vertices, ParabolaVertex,
                         ::testing::Values(Parabola{0, 0}, Parabola{0.3, 0.3}, Parabola{-0.45, -0.45},
                                           Parabola{0.5, 0.5}, Parabola{0.8, 0.5}, Parabola{-2, -0.5}));

TEST(ParabolaVertexOf, AMeasureThatDoesNotCurveUpwardsKeepsTheWholeOffset) {
    EXPECT_EQ(parabolaVertex(1, 1, 1), 0.0);
    EXPECT_EQ(parabolaVertex(0.5, 1, 0.7), 0.0);   // a maximum
    EXPECT_EQ(parabolaVertex(1, 2, 3), 0.0);       // a straight line
}

}   // namespace
