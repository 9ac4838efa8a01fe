#include "det_pool.h"

#include <chrono>

#include "common/thread_budget.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DET_POOL_PAUSE() _mm_pause()
#else
#define DET_POOL_PAUSE() std::this_thread::yield()
#endif

namespace vm::apex {

namespace {

// Set while a thread runs a pool job, so a nested parallel runs inline
// instead of waiting for a pool that is waiting for it.
thread_local bool t_in_job = false;

// A decode step hands out hundreds of short jobs, so an idle worker spins
// this long for the next one before it sleeps.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(50);

struct InJob {
    InJob() { t_in_job = true; }
    ~InJob() { t_in_job = false; }
};

} // namespace

DetPool::DetPool(int k) : DetPool(k, [](std::function<void()> fn) { return std::thread(std::move(fn)); }) {}

DetPool::DetPool(int k, const ThreadStarter& start) {
    const int want = k >= 2 ? k : 1;
    workers_.reserve(size_t(want - 1));
    for (int i = 1; i < want; ++i) {
        try {
            workers_.push_back(start([this, i] { work(i); }));
        } catch (...) {
            break; // the platform refused another thread: run with those started
        }
    }
    n_ = 1 + int(workers_.size());
}

DetPool::~DetPool() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        stop_.store(true);
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
}

void DetPool::run(JobRef job) {
    if (t_in_job) {
        job.call(job.ctx, 0, 1);
        return;
    }
    std::lock_guard<std::mutex> one_caller(caller_mu_);
    InJob in_job;
    if (n_ == 1) {
        job.call(job.ctx, 0, 1);
        return;
    }
    handoffs_.fetch_add(1, std::memory_order_relaxed);
    bool wake;
    {
        std::lock_guard<std::mutex> lk(mu_);
        job_ = job;
        done_.store(0, std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
        wake = sleepers_ > 0;
    }
    if (wake) wake_.notify_all();
    job.call(job.ctx, 0, n_);
    while (done_.load(std::memory_order_acquire) < n_ - 1) DET_POOL_PAUSE();
}

void DetPool::work(int index) {
    // Thread priority classes have no counterpart the engine relies on here.
    uint64_t seen = 0;
    for (;;) {
        uint64_t g = generation_.load(std::memory_order_acquire);
        if (g == seen) {
            const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
            for (int spins = 1; g == seen && !stop_.load(std::memory_order_relaxed); ++spins) {
                DET_POOL_PAUSE();
                g = generation_.load(std::memory_order_acquire);
                if (spins % 256 == 0 && std::chrono::steady_clock::now() > until) break;
            }
            if (g == seen) {
                std::unique_lock<std::mutex> lk(mu_);
                ++sleepers_;
                wake_.wait(lk, [&] { return stop_.load() || generation_.load() != seen; });
                --sleepers_;
                g = generation_.load();
            }
        }
        if (stop_.load()) return;
        seen = g;
        const JobRef job = job_;
        {
            InJob in_job;
            job.call(job.ctx, index, n_);
        }
        done_.fetch_add(1, std::memory_order_release);
    }
}

int det_pool_size(int h) { return (h >= 1 && h <= 7) ? h : 8; }

DetPool* det_pool_global() {
    static DetPool* const pool = new DetPool(det_pool_size(thread_budget()));
    return pool;
}

} // namespace vm::apex
