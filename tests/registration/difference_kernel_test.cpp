#include "registration/difference_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "common/cpu.h"
#include "registration/image_difference.h"
#include "support/random.h"
#include "support/test_images.h"
#include "support/with_settings.h"

namespace {

using DifferenceKernel = WithSettings;

// An image whose pixels vary by up to `spread` around a smooth base, with some invalid
// pixels and some validity bytes between 1 and 254.
Image randomImage(TestRandom& rng, std::int32_t width, std::int32_t height, int spread, int invalidPercent) {
    const int base = rng.range(0, 255);
    return makeImageFrom(width, height, [&](int x, int y) -> std::array<std::uint8_t, 4> {
        auto channel = [&](int k) {
            return std::uint8_t(std::clamp(base + (x * 7 + y * 3 * k) % 40 + rng.range(-spread, spread), 0, 255));
        };
        std::uint8_t v = 255;
        if (rng.chance(invalidPercent))
            v = 0;
        else if (rng.chance(5))
            v = std::uint8_t(rng.range(1, 254));
        return {channel(0), channel(1), channel(2), v};
    });
}

// The penalty is a tunable: a new value must reach the fast sums at once (it was once kept in
// statics from the first call on).
TEST_F(DifferenceKernel, FollowsAChangedMismatchPenalty) {
    TestRandom rng(11);
    OwnedImage a(randomImage(rng, 30, 20, 40, 30));
    OwnedImage b(randomImage(rng, 30, 20, 40, 30));
    for (const float penalty : {0.01f, 0.5f, 2.0f, 0.01f}) {
        mismatchPenalty = penalty;
        const Extended plain = imageDifference(a.im, b.im);
        const BoundedDifference fast = boundedImageDifference(a.im, b.im, INFINITY);
        EXPECT_FALSE(fast.pruned);
        EXPECT_EQ(fast.value, plain) << penalty;
    }
}

TEST_F(DifferenceKernel, MatchesThePlainMeasureBitForBitOrProvesTheBound) {
    TestRandom rng(7);
    int pruned = 0, exact = 0;
    for (int trial = 0; trial < 600; ++trial) {
        OwnedImage a(randomImage(rng, rng.range(0, 40), rng.range(0, 30), rng.range(0, 255), rng.range(0, 60)));
        OwnedImage b(randomImage(rng, rng.range(1, 40), rng.range(1, 30), rng.range(0, 255), rng.range(0, 60)));
        a.im.x0 = rng.range(-10, 50);
        a.im.y0 = rng.range(-10, 40);
        b.im.x0 = rng.range(-10, 50);
        b.im.y0 = rng.range(-10, 40);
        setUseAvx2(trial % 2 == 0);
        const Extended plain = imageDifference(a.im, b.im);
        // Bounds around the true value, including the value itself and its neighbours.
        const float bounds[] = {INFINITY,
                                float(plain),
                                std::nextafter(float(plain), 0.0f),
                                std::nextafter(float(plain), INFINITY),
                                float(plain) * 0.5f,
                                float(plain) * 2.0f,
                                1e24f};
        for (const float bound : bounds) {
            const BoundedDifference fast = boundedImageDifference(a.im, b.im, bound);
            if (fast.pruned) {
                ++pruned;
                ASSERT_GE(plain, Extended(bound)) << "trial " << trial;
            } else {
                ++exact;
                ASSERT_EQ(fast.value, plain) << "trial " << trial;
            }
        }
    }
    setUseAvx2(true);
    EXPECT_GT(pruned, 500);
    EXPECT_GT(exact, 1500);
}

TEST_F(DifferenceKernel, SumsBeyondTwoToTheSixtyFourUnitsFallBackToTheSequentialSum) {
    // All pairs maximally different: 1.34e9 per pair, far past 2^33 after a few pairs.
    OwnedImage white(makeImage(37, 23, {255, 255, 255, 255}));
    OwnedImage black(makeImage(37, 23, {0, 0, 0, 200}));
    const BoundedDifference fast = boundedImageDifference(white.im, black.im, INFINITY);
    ASSERT_FALSE(fast.pruned);
    EXPECT_EQ(fast.value, imageDifference(white.im, black.im));
    EXPECT_TRUE(boundedImageDifference(white.im, black.im, 1e9f).pruned);
}

TEST_F(DifferenceKernel, SinglePrecisionValuesOfHugeSumsMatchTheSequentialSum) {
    // Random pixels far apart: sums far past 2^64 units, where the extended sum rounds.
    TestRandom rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        OwnedImage a(randomImage(rng, rng.range(50, 300), rng.range(20, 80), 255, rng.range(0, 20)));
        OwnedImage b(randomImage(rng, rng.range(50, 300), rng.range(20, 80), 255, rng.range(0, 20)));
        a.im.x0 = rng.range(0, 40);
        b.im.x0 = rng.range(0, 40);
        const DifferenceScan scan(a.im, b.im);
        DifferenceUnits total = 0;
        scan.addPhasesFrom(0, total, ~DifferenceUnits(0));
        const float sequential = float(imageDifference(a.im, b.im));
        EXPECT_EQ(scan.singleValue(total, a.im, b.im), sequential) << trial;
        EXPECT_EQ(scan.value(total, a.im, b.im), imageDifference(a.im, b.im)) << trial;
        // Any interval around the exact sum holds the sequential measure; a wider one no less.
        const DifferenceUnits below = total >> rng.range(20, 60), above = total >> rng.range(20, 60);
        float lowest, highest, widerLowest, widerHighest;
        scan.singleRange(total, total, lowest, highest);
        EXPECT_LE(lowest, sequential) << trial;
        EXPECT_GE(highest, sequential) << trial;
        scan.singleRange(total - below, total + above, widerLowest, widerHighest);
        EXPECT_LE(widerLowest, lowest) << trial;
        EXPECT_GE(widerHighest, highest) << trial;
    }
}

TEST_F(DifferenceKernel, RowsFlaggedInvalidAreNeverReadYetCountAsInvalid) {
    TestRandom rng(3);
    for (int trial = 0; trial < 60; ++trial) {
        const bool huge = trial % 2 == 0;   // sums past 2^64 units take the sequential route
        OwnedImage a(randomImage(rng, rng.range(1, 90), rng.range(1, 40), huge ? 255 : 3, 5));
        OwnedImage b(randomImage(rng, rng.range(1, 90), rng.range(1, 40), huge ? 255 : 3, 5));
        a.im.y0 = rng.range(-5, 20);
        std::vector<std::uint8_t> flags(std::size_t(a.im.height));
        OwnedImage cleared(copyImage(a.im));
        for (std::int32_t y = 1; y < a.im.height; y += 2) {
            flags[std::size_t(y)] = 1;
            std::memset(pixelAt(a.im, 0, y), 0xAB, std::size_t(a.im.width) * 4);   // garbage, never read
            std::memset(pixelAt(cleared.im, 0, y), 0, std::size_t(a.im.width) * 4);
        }
        const Extended expected = imageDifference(cleared.im, b.im);
        const BoundedDifference fast = boundedImageDifference(a.im, b.im, INFINITY, flags.data());
        ASSERT_FALSE(fast.pruned);
        EXPECT_EQ(fast.value, expected) << trial;
    }
}

TEST_F(DifferenceKernel, LongRowsKeepTheirSumsExact) {
    // 20000 pixels a row: the kernel widens its 32-bit lane sums on the way.
    TestRandom rng(8);
    for (const bool avx2 : {true, false}) {
        setUseAvx2(avx2);
        // Small differences keep the sum below 2^64 units: the exact route, not the sequential one.
        auto near100 = [&rng](int, int) -> std::array<std::uint8_t, 4> {
            return {std::uint8_t(rng.range(95, 105)), std::uint8_t(rng.range(95, 105)),
                    std::uint8_t(rng.range(95, 105)), std::uint8_t(rng.chance(1) ? 0 : 255)};
        };
        OwnedImage a(makeImageFrom(20000, 2, near100));
        OwnedImage b(makeImageFrom(20000, 2, near100));
        const BoundedDifference fast = boundedImageDifference(a.im, b.im, INFINITY);
        ASSERT_FALSE(fast.pruned);
        EXPECT_EQ(fast.value, imageDifference(a.im, b.im));
    }
    setUseAvx2(true);
}

TEST_F(DifferenceKernel, AnEmptyOverlapScoresFiveHundredthsUnlessTheBoundIsLower) {
    OwnedImage a(makeImage(4, 4, {1, 2, 3, 255}, 0, 0));
    OwnedImage b(makeImage(4, 4, {1, 2, 3, 255}, 9, 0));
    EXPECT_EQ(boundedImageDifference(a.im, b.im, 1.0f).value, Extended(0.05f));
    EXPECT_TRUE(boundedImageDifference(a.im, b.im, 0.05f).pruned);
}

}   // namespace

namespace {

// Sums taken for a lower bound never exceed the exact sums and stay within 2^-22 of them,
// AVX2 and SSE2 alike.
TEST_F(DifferenceKernel, LowerBoundSumsStayBelowTheExactSumsAndClose) {
    TestRandom rng(17);
    for (int trial = 0; trial < 400; ++trial) {
        OwnedImage a(randomImage(rng, rng.range(1, 50), rng.range(1, 30), rng.range(0, 255), rng.range(0, 20)));
        OwnedImage b(randomImage(rng, rng.range(1, 50), rng.range(1, 30), rng.range(0, 255), rng.range(0, 20)));
        a.im.x0 = rng.range(0, 20);
        a.im.y0 = rng.range(0, 10);
        setUseAvx2(trial % 2 == 0);
        const DifferenceScan exact(a.im, b.im);
        const DifferenceScan bounded(a.im, b.im, {.boundsOnly = true});
        DifferenceUnits sumExact = 0, sumBound = 0;
        exact.addPhasesFrom(0, sumExact, ~DifferenceUnits(0));
        bounded.addPhasesFrom(0, sumBound, ~DifferenceUnits(0));
        ASSERT_LE(sumBound, sumExact) << trial;
        ASSERT_GE(sumBound + (sumExact >> 22) + 64, sumExact) << trial;
        if (!kBoundsOnlyDiffer) {
            ASSERT_EQ(sumBound, sumExact) << trial;
        }
    }
    setUseAvx2(true);
}

// The bound's premise for the SSE program, for every s: its quadratic part, rounded twice
// to single precision, is at least s*s * (1/255) * (1 - 2^-23).
TEST_F(DifferenceKernel, RoundedQuadraticPartsAreAtLeastTheBound) {
    constexpr std::uint64_t kInverse255Units = 8421505;   // kInverse255 * 2^31
    for (std::uint64_t s = 0; s <= 585225; ++s) {
        volatile float sf = float(s);
        volatile float square = sf * sf;
        volatile float q = square * kInverse255;
        const unsigned __int128 units = (unsigned __int128)std::ldexp((long double)q, 31);
        const unsigned __int128 exact = (unsigned __int128)(s * s) * kInverse255Units;
        ASSERT_GE(units << 23, exact * ((1u << 23) - 1)) << s;
    }
}

}   // namespace
