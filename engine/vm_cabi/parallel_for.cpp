#include "parallel_for.h"

#include "common/thread_budget.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VM_PAUSE() _mm_pause()
#else
#define VM_PAUSE() std::this_thread::yield()
#endif

namespace vm {

namespace {

// Workers live for the whole process, like a global queue's threads. A decode
// step hands out hundreds of short jobs, so idle workers spin briefly before
// they sleep. One job runs at a time; further callers wait their turn.
//
// Indices are claimed from one 64-bit ticket holding the job's generation,
// its index count and the next index, so a worker can never claim an index
// of a job other than the one the ticket names.
class Pool {
public:
    static constexpr uint64_t kBits = 20;
    static constexpr uint64_t kMask = (uint64_t(1) << kBits) - 1;
    static constexpr size_t kMaxBlock = size_t(kMask);

    Pool() {
        const unsigned n = unsigned(thread_budget());
        for (unsigned i = 1; i < n; ++i) std::thread([this] { work(); }).detach();
    }

    void run(size_t n, const std::function<void(size_t)>& fn) {
        std::lock_guard<std::mutex> one_job(job_mu_);
        for (size_t base = 0; base < n; base += kMaxBlock) {
            size_t count = std::min(kMaxBlock, n - base);
            fn_ = &fn;
            base_ = base;
            done_.store(0);
            gen_ = (gen_ + 1) & 0xFFFFFF;
            ticket_.store((gen_ << (2 * kBits)) | (uint64_t(count) << kBits));
            if (sleepers_.load() > 0) {
                std::lock_guard<std::mutex> lk(mu_);
                wake_.notify_all();
            }
            help();
            while (done_.load() != count) VM_PAUSE();
        }
    }

private:
    static bool claimable(uint64_t t) { return (t & kMask) < ((t >> kBits) & kMask); }

    // Claims and runs indices of the current job until none is left.
    void help() {
        for (;;) {
            uint64_t t = ticket_.load();
            for (;;) {
                if (!claimable(t)) return;
                if (ticket_.compare_exchange_weak(t, t + 1)) break;
            }
            (*fn_)(base_ + size_t(t & kMask));
            done_.fetch_add(1);
        }
    }

    void work() {
        for (;;) {
            auto spin_until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
            int spins = 0;
            while (!claimable(ticket_.load())) {
                VM_PAUSE();
                if (++spins % 512 == 0 && std::chrono::steady_clock::now() > spin_until) {
                    std::unique_lock<std::mutex> lk(mu_);
                    sleepers_.fetch_add(1);
                    wake_.wait(lk, [&] { return claimable(ticket_.load()); });
                    sleepers_.fetch_sub(1);
                }
            }
            help();
        }
    }

    std::mutex job_mu_;
    std::mutex mu_;
    std::condition_variable wake_;
    std::atomic<int> sleepers_{0};
    const std::function<void(size_t)>* fn_ = nullptr;
    size_t base_ = 0;
    uint64_t gen_ = 0;
    std::atomic<uint64_t> ticket_{0};
    std::atomic<size_t> done_{0};
};

} // namespace

void parallel_for(size_t n, const std::function<void(size_t)>& fn) {
    if (n == 0) return;
    if (n == 1) {
        fn(0);
        return;
    }
    static Pool* pool = new Pool; // never destroyed: workers may outlive static destruction
    pool->run(n, fn);
}

size_t parallel_threads() { return size_t(thread_budget()); }

} // namespace vm
