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

using DifferenceKernel = WithKernelChoice;

// An image whose pixels vary by up to `spread` around a smooth base, with some invalid
// pixels and some validity bytes between 1 and 254.
Image randomImage(TestRandom& rng, std::int32_t width, std::int32_t height, int spread, int invalidPercent) {
    const int base = rng.range(0, 255);
    return makeImageFrom(width, height, [&](int x, int y) -> std::array<std::uint8_t, 4> {
        auto channel = [&](int k) {
            return std::uint8_t(std::clamp(base + (x * 7 + y * 3 * k) % 40 + rng.range(-spread, spread), 0, 255));
        };
        const std::uint8_t v = rng.chance(invalidPercent) ? 0 : rng.chance(5) ? std::uint8_t(rng.range(1, 254)) : 255;
        return {channel(0), channel(1), channel(2), v};
    });
}

// The bounded measure against the plain one: bit for bit, or pruned only when the plain value
// reaches the bound. Random placements (empty overlaps included), both kernels, spreads from
// flat to sums past 2^64 units (the sequential fallback), rows of 20000 pixels (the kernel
// widens its lane sums), rows flagged invalid (filled with garbage: never read, yet counted
// invalid), and a penalty changed between calls (it was once kept in statics); with the
// lower-bound sums against the exact ones.
TEST_F(DifferenceKernel, MatchesThePlainMeasureBitForBitOrProvesTheBound) {
    TestRandom rng(7);
    int pruned = 0, exact = 0;
    for (int trial = 0; trial < 600; ++trial) {
        const bool longRows = trial % 50 == 0, flagged = trial % 7 == 0;
        mismatchPenalty = trial % 11 == 5 ? (trial % 2 == 0 ? 0.5f : 2.0f) : 0.01f;
        OwnedImage a(longRows
                         ? randomImage(rng, 20000, 2, 5, 1)
                         : randomImage(rng, rng.range(0, 40), rng.range(0, 30), rng.range(0, 255), rng.range(0, 60)));
        OwnedImage b(longRows
                         ? randomImage(rng, 20000, 2, 5, 1)
                         : randomImage(rng, rng.range(1, 40), rng.range(1, 30), rng.range(0, 255), rng.range(0, 60)));
        if (!longRows) {
            a.im.x0 = rng.range(-10, 50);
            a.im.y0 = rng.range(-10, 40);
            b.im.x0 = rng.range(-10, 50);
            b.im.y0 = rng.range(-10, 40);
        }
        std::vector<std::uint8_t> flags(std::size_t(a.im.height));
        OwnedImage cleared(copyImage(a.im));
        for (std::int32_t y = 1; flagged && y < a.im.height; y += 2) {
            flags[std::size_t(y)] = 1;
            for (std::int32_t x = 0; x < a.im.width; ++x) {   // garbage, never read; cleared to zero
                std::memset(pixelAt(a.im, x, y), 0xAB, 4);
                std::memset(pixelAt(cleared.im, x, y), 0, 4);
            }
        }
        setUseAvx2(trial % 2 == 0);
        const Extended plain = imageDifference(cleared.im, b.im);
        // Sums for a lower bound never exceed the exact ones and stay within 2^-22 of them
        // (equal where they do not differ by design).
        DifferenceUnits sumExact = 0, sumBound = 0;
        DifferenceScan(a.im, b.im).addPhasesFrom(0, sumExact, ~DifferenceUnits(0));
        DifferenceScan(a.im, b.im, {.boundsOnly = true}).addPhasesFrom(0, sumBound, ~DifferenceUnits(0));
        ASSERT_TRUE(sumBound <= sumExact && sumBound + (sumExact >> 22) + 64 >= sumExact &&
                    (kBoundsOnlyDiffer || sumBound == sumExact))
            << "trial " << trial;
        const float bounds[] = {INFINITY,
                                float(plain),
                                std::nextafter(float(plain), 0.0f),
                                std::nextafter(float(plain), INFINITY),
                                float(plain) * 0.5f,
                                float(plain) * 2.0f,
                                1e24f};
        for (const float bound : bounds) {
            const BoundedDifference fast = boundedImageDifference(a.im, b.im, bound, flagged ? flags.data() : nullptr);
            (fast.pruned ? pruned : exact) += 1;
            if (fast.pruned)
                ASSERT_GE(plain, Extended(bound)) << "trial " << trial;
            else
                ASSERT_EQ(fast.value, plain) << "trial " << trial;
        }
    }
    EXPECT_GT(pruned, 500);
    EXPECT_GT(exact, 1500);
}

// The single-precision value of a sum far past 2^64 units (where the extended sum rounds as it
// adds) is the sequential one, and any interval around the exact sum holds it.
TEST_F(DifferenceKernel, SinglePrecisionValuesOfHugeSumsMatchTheSequentialSum) {
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
        const DifferenceUnits below = total >> rng.range(20, 60), above = total >> rng.range(20, 60);
        float lowest, highest, widerLowest, widerHighest;
        scan.singleRange(total, total, lowest, highest);
        scan.singleRange(total - below, total + above, widerLowest, widerHighest);
        EXPECT_TRUE(widerLowest <= lowest && lowest <= sequential && sequential <= highest && highest <= widerHighest)
            << trial;
    }
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
