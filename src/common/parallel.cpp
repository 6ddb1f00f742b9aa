#include "common/parallel.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

thread_local bool insideBody = false;

class Pool {
public:
    explicit Pool(int threads) {
        for (int i = 1; i < threads; ++i) workers_.emplace_back([this] { serve(); });
    }
    ~Pool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : workers_) t.join();
    }
    int size() const { return int(workers_.size()) + 1; }

    void run(std::int64_t count, const std::function<void(std::int64_t)>& body) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            body_ = &body;
            count_ = count;
            next_.store(0);
            busy_ = int(workers_.size());
            ++generation_;
        }
        wake_.notify_all();
        work();
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return busy_ == 0; });
        body_ = nullptr;
    }

private:
    void work() {
        insideBody = true;
        for (std::int64_t i; (i = next_.fetch_add(1)) < count_;) (*body_)(i);
        insideBody = false;
    }
    void serve() {
        std::uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
                if (stopping_) return;
                seen = generation_;
            }
            work();
            std::lock_guard<std::mutex> lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(std::int64_t)>* body_ = nullptr;
    std::int64_t count_ = 0;
    std::atomic<std::int64_t> next_{0};
    int busy_ = 0;
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
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
