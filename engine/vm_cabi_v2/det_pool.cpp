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

// Without a hold, an idle worker spins this long for the next job before it
// sleeps: back-to-back jobs stay cheap, an idle process burns no CPU.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(50);

struct InJob {
    InJob() { t_in_job = true; }
    ~InJob() { t_in_job = false; }
};

} // namespace

DetPool::DetPool(int k) : DetPool(k, [](std::function<void()> fn) { return std::thread(std::move(fn)); }) {}

DetPool::DetPool(int k, const ThreadStarter& start) {
    const int want = k >= 2 ? k : 1;
    claims_ = std::make_unique<Claim[]>(size_t(want));
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

DetPool::Hold::Hold(DetPool* pool) : pool_(pool) {
    if (pool_->holds_.fetch_add(1) != 0 || pool_->n_ == 1) return;
    bool wake;
    {
        std::lock_guard<std::mutex> lk(pool_->mu_);
        wake = pool_->sleepers_ > 0;
    }
    if (wake) pool_->wake_.notify_all();
}

int DetPool::sleeping() {
    std::lock_guard<std::mutex> lk(mu_);
    return sleepers_;
}

DetPool::Hold::~Hold() { pool_->holds_.fetch_sub(1); }

bool DetPool::claim(int i, uint64_t g) {
    std::atomic<uint64_t>& c = claims_[size_t(i)].generation;
    uint64_t prev = c.load(std::memory_order_relaxed);
    return prev < g && c.compare_exchange_strong(prev, g, std::memory_order_acq_rel);
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
    uint64_t g;
    bool wake;
    {
        std::lock_guard<std::mutex> lk(mu_);
        job_ = job;
        done_.store(0, std::memory_order_relaxed);
        g = generation_.fetch_add(1, std::memory_order_release) + 1;
        wake = sleepers_ > 0;
    }
    if (wake) wake_.notify_all();
    job.call(job.ctx, 0, n_);
    // Shares no worker has started yet are run here rather than waited for;
    // only the workers already inside the job are waited for.
    int started = 0;
    for (int i = 1; i < n_; ++i) {
        if (claim(i, g)) job.call(job.ctx, i, n_);
        else ++started;
    }
    while (done_.load(std::memory_order_acquire) < started) DET_POOL_PAUSE();
}

uint64_t DetPool::next_generation(uint64_t seen) {
    uint64_t g = generation_.load(std::memory_order_acquire);
    auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
    for (;;) {
        for (int spins = 1; g == seen && spins <= 256; ++spins) {
            DET_POOL_PAUSE();
            g = generation_.load(std::memory_order_acquire);
        }
        if (g != seen || stop_.load(std::memory_order_relaxed)) return g;
        const auto now = std::chrono::steady_clock::now();
        if (now <= until) continue;
        if (holds_.load(std::memory_order_relaxed) > 0) {
            // Held past the plain spin: stay awake, but let any other thread
            // waiting for this core (the caller's serial stretch on a busy
            // machine) run first.
            std::this_thread::yield();
            continue;
        }
        std::unique_lock<std::mutex> lk(mu_);
        ++sleepers_;
        wake_.wait(lk, [&] { return stop_.load() || generation_.load() != seen || holds_.load() > 0; });
        --sleepers_;
        g = generation_.load(std::memory_order_acquire);
        until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
    }
}

void DetPool::work(int index) {
    // Thread priority classes have no counterpart the engine relies on here.
    uint64_t seen = 0;
    for (;;) {
        const uint64_t g = next_generation(seen);
        if (stop_.load()) return;
        seen = g;
        // The caller may have taken this share already; job_ is read only
        // once the share is ours, so the caller waits for us before reusing it.
        if (!claim(index, g)) continue;
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
