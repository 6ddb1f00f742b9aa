#include "common/parallel.h"

#include <unistd.h>

#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

thread_local bool insideBody = false;

// Workers wait for work spinning for a while before they sleep: the searches hand out work
// many times an image, and a sleeping thread takes far longer to wake than the work lasts.
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
        body_ = &body;
        count_ = count;
        next_.store(0, std::memory_order_relaxed);
        busy_.store(int(workers_.size()), std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            generation_.fetch_add(1, std::memory_order_release);
        }
        if (sleeping_.load() > 0) wake_.notify_all();
        work();
        if (!spinUntil([this] { return busy_.load(std::memory_order_acquire) == 0; })) {
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, [this] { return busy_.load(std::memory_order_acquire) == 0; });
        }
        body_ = nullptr;
    }

private:
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

    void work() {
        insideBody = true;
        for (std::int64_t i; (i = next_.fetch_add(1)) < count_;) (*body_)(i);
        insideBody = false;
    }
    void serve() {
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
            if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                std::lock_guard<std::mutex> lock(mutex_);
                done_.notify_one();
            }
        }
    }

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(std::int64_t)>* body_ = nullptr;
    std::int64_t count_ = 0;
    std::atomic<std::int64_t> next_{0};
    std::atomic<int> busy_{0};
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

}  // namespace

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
