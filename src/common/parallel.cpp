#include "common/parallel.h"

#include <signal.h>
#include <unistd.h>

#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <exception>
#include <utility>
#include <vector>

namespace {

thread_local bool insideBody = false;

// Workers wait for work spinning for a while before they sleep: the searches hand out work
// many times an image, and a sleeping thread takes far longer to wake than the work lasts.
// The caller waits for the items to be done, not for every worker to show up: a worker the
// system has not scheduled yet (a busy machine, more threads than cores) finds the items
// taken when it comes and holds nobody up.
class Pool {
public:
    explicit Pool(int threads) {
        for (int i = 1; i < threads; ++i) workers_.emplace_back([this] { serve(); });
    }
    ~Pool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_.store(true);
        }
        wake_.notify_all();
        for (std::thread& t : workers_) t.join();
    }
    int size() const { return int(workers_.size()) + 1; }

    void run(std::int64_t count, const std::function<void(std::int64_t)>& body) {
        const std::uint64_t generation = generation_.load(std::memory_order_relaxed) + 1;
        Job& job = jobs_[generation & 1];
        job.count.store(count, std::memory_order_relaxed);
        job.body.store(&body, std::memory_order_relaxed);
        job.completed.store(0, std::memory_order_relaxed);
        ticket_.store((generation & kGenerationMask) << kIndexBits, std::memory_order_release);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            generation_.store(generation, std::memory_order_release);
        }
        if (sleeping_.load() > 0) wake_.notify_all();
        work();
        auto finished = [&] { return job.completed.load(std::memory_order_acquire) == count; };
        if (!spinUntil(finished)) {
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, finished);
        }
        if (job.error) std::rethrow_exception(std::exchange(job.error, nullptr));
    }

private:
    // One parallelFor: the items handed out, the body, and how many are done. Two jobs
    // alternate, so a worker that read the job of one ticket finds it unchanged as long as that
    // ticket is current.
    struct Job {
        std::atomic<std::int64_t> count{0};
        std::atomic<const std::function<void(std::int64_t)>*> body{nullptr};
        std::atomic<std::int64_t> completed{0};
        std::exception_ptr error;   // the first exception of a body, under mutex_
    };
    // The ticket holds the generation (low 24 bits) above the next item's index (40 bits);
    // an item is claimed by moving the ticket on while it still names the generation read.
    static constexpr int kIndexBits = 40;
    static constexpr std::uint64_t kGenerationMask = (std::uint64_t(1) << (64 - kIndexBits)) - 1;
    static constexpr std::uint64_t kIndexMask = (std::uint64_t(1) << kIndexBits) - 1;

    // Spins until ready() holds or about two milliseconds have passed; false in that case.
    template <typename Ready>
    static bool spinUntil(Ready ready) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
        for (int k = 0;; ++k) {
            if (ready()) return true;
            _mm_pause();
            if ((k & 255) == 255 && std::chrono::steady_clock::now() > limit) return ready();
        }
    }

    // Runs the items of the current job until none is left to claim.
    void work() {
        insideBody = true;
        std::uint64_t ticket = ticket_.load(std::memory_order_acquire);
        for (;;) {
            Job& job = jobs_[(ticket >> kIndexBits) & 1];
            const std::int64_t count = job.count.load(std::memory_order_relaxed);
            const std::int64_t index = std::int64_t(ticket & kIndexMask);
            if (index >= count) break;
            // Fails, reloading the ticket, when another thread claimed the item or a new job began.
            if (!ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
                continue;
            }
            try {
                (*job.body.load(std::memory_order_relaxed))(index);
            } catch (...) {
                // Handed to the caller once every item is done (a failed allocation, say).
                std::lock_guard<std::mutex> lock(mutex_);
                if (!job.error) job.error = std::current_exception();
            }
            if (job.completed.fetch_add(1, std::memory_order_acq_rel) + 1 == count) {
                std::lock_guard<std::mutex> lock(mutex_);
                done_.notify_one();
            }
            ticket = ticket_.load(std::memory_order_acquire);
        }
        insideBody = false;
    }
    void serve() {
        // Signals that stop the run are handled on the main thread alone, which knows what it
        // is doing with its output files.
        sigset_t stopping;
        sigemptyset(&stopping);
        sigaddset(&stopping, SIGINT);
        sigaddset(&stopping, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
        std::uint64_t seen = 0;
        for (;;) {
            auto fresh = [&] { return stopping_.load() || generation_.load(std::memory_order_acquire) != seen; };
            if (!spinUntil(fresh)) {
                std::unique_lock<std::mutex> lock(mutex_);
                sleeping_.fetch_add(1);
                wake_.wait(lock, fresh);
                sleeping_.fetch_sub(1);
            }
            if (stopping_.load()) return;
            seen = generation_.load(std::memory_order_acquire);
            work();
        }
    }

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    Job jobs_[2];
    std::atomic<std::uint64_t> ticket_{0};
    std::atomic<int> sleeping_{0};
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<bool> stopping_{false};
};

int requested = 0;   // 0: every core

Pool& pool() {
    static Pool* instance = nullptr;
    static pid_t owner = 0;
    const int wanted = requested > 0 ? requested : std::max(1, int(std::thread::hardware_concurrency()));
    if (instance != nullptr && owner != getpid()) instance = nullptr;   // a forked child has none of the threads
    if (instance == nullptr || instance->size() != wanted) {
        delete instance;
        instance = new Pool(wanted);
        owner = getpid();
    }
    return *instance;
}

}   // namespace

bool insideParallelBody() { return insideBody; }

int workerCount() { return pool().size(); }

void setWorkerCount(int count) { requested = std::max(1, count); }

void parallelFor(std::int64_t count, const std::function<void(std::int64_t)>& body) {
    if (count <= 0) return;
    if (insideBody || count == 1) {
        for (std::int64_t i = 0; i < count; ++i) body(i);
        return;
    }
    Pool& p = pool();
    if (p.size() == 1) {
        for (std::int64_t i = 0; i < count; ++i) body(i);
        return;
    }
    p.run(count, body);
}
