#include "registration/ordered_search.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/parallel.h"
#include "support/random.h"

namespace {

// The plain loop: keep a candidate when it scores strictly below the best held in single
// precision.
SearchOutcome plainLoop(const std::vector<Extended>& values, float best) {
    SearchOutcome o{-1, best};
    for (std::size_t i = 0; i < values.size(); ++i)
        if (o.best > values[i]) o = {std::int64_t(i), float(values[i])};
    return o;
}

// The ranked search, serial or on any number of threads, keeps the plain loop's choice
// whatever its first pass tells: keys that rank the candidates out of order, some candidates
// measured in the first pass, or none ranked at all (the sequential measure's route).
TEST(RankedSearch, KeepsThePlainLoopsChoiceInAnyOrderOnAnyThreads) {
    TestRandom rng(42);
    const int defaultWorkers = workerCount();
    for (int trial = 0; trial < 200; ++trial) {
        // Scores crowded within a few single-precision steps, so that equal values and values
        // between two floats (where the kept float decides) are common.
        std::vector<Extended> values(std::size_t(rng.range(0, 400)));
        const Extended base = 1000 + rng.range(0, 3);
        for (Extended& v : values)
            v = base + Extended(rng.range(0, 40)) * 0x1p-18L + Extended(rng.range(0, 3)) * 0x1p-40L;
        const float start = rng.chance(30) ? float(base) + 0.0001f : 1e24f;
        const SearchOutcome expected = plainLoop(values, start);
        const bool ranked = trial % 3 != 0;
        for (const int threads : {1, 2, 3}) {
            setWorkerCount(threads);
            const SearchOutcome got = rankedSearch(
                std::int64_t(values.size()), start, threads > 1,
                [&](std::int64_t begin, std::int64_t end, float first, RankedLedger& ledger) {
                    for (std::int64_t i = begin; i < end; ++i) {
                        if (!ranked) {
                            ledger.survives(i, 0, 0);
                        } else if (values[std::size_t(i)] < first) {
                            if (i % 5 == 0)
                                ledger.measured(i, values[std::size_t(i)]);
                            else
                                ledger.survives(i, DifferenceUnits(i), float(i * 7 % 4));
                        }
                    }
                },
                [&](std::int64_t i, DifferenceUnits partial, float bound) {
                    EXPECT_EQ(partial, ranked ? DifferenceUnits(i) : 0);
                    // exactly what the kernel may prove
                    return BoundedDifference{!(values[std::size_t(i)] < bound), values[std::size_t(i)]};
                });
            ASSERT_EQ(got.winner, expected.winner) << "trial " << trial << ", " << threads << " threads";
            ASSERT_EQ(got.best, expected.best) << "trial " << trial;
        }
    }
    setWorkerCount(defaultWorkers);
}

}   // namespace
