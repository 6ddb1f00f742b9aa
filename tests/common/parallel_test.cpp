// The worker pool: every item of every loop runs exactly once and is done when parallelFor
// returns, with as many threads as cores, fewer, or many more (threads the system does not
// schedule at once), over many short loops in a row, as the searches issue them.
#include <atomic>
#include <vector>

#include "support/with_settings.h"

namespace {

using Pool = WithKernelChoice;

TEST_F(Pool, EveryItemOnceAndDoneOnReturn) {
    for (const int threads : {1, 2, 3, 8}) {
        setWorkerCount(threads);
        ASSERT_EQ(workerCount(), threads);
        std::vector<std::atomic<int>> hits(3000);
        for (int loop = 0; loop < 4000; ++loop) {
            const std::int64_t count = loop % 97 == 0 ? 3000 : 2 + loop % 7;   // most loops short
            parallelFor(count, [&](std::int64_t i) { hits[std::size_t(i)].fetch_add(1, std::memory_order_relaxed); });
            for (std::int64_t i = 0; i < count; ++i)
                ASSERT_EQ(hits[std::size_t(i)].exchange(0), 1)
                    << threads << " threads, loop " << loop << ", item " << i;
        }
    }
}

TEST_F(Pool, LoopsInsideABodyRunOnItsThread) {
    setWorkerCount(3);
    std::atomic<std::int64_t> sum{0};
    parallelFor(10, [&](std::int64_t i) {
        EXPECT_TRUE(insideParallelBody());
        std::int64_t local = 0;   // written by this thread only: the inner loop must not leave it
        parallelFor(100, [&](std::int64_t j) { local += i * 100 + j; });
        sum.fetch_add(local);
    });
    EXPECT_FALSE(insideParallelBody());
    EXPECT_EQ(sum.load(), 999 * 1000 / 2);
}

}   // namespace
