#include "parallel_for.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vm {

namespace {

// Workers live for the whole process (detached), like a global dispatch
// queue's threads. One job runs at a time; further callers wait their turn.
class Pool {
public:
    Pool() {
        unsigned n = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 1; i < n; ++i) std::thread([this] { work(); }).detach();
    }

    void run(size_t n, const std::function<void(size_t)>& fn) {
        std::lock_guard<std::mutex> one_job(job_mu_);
        {
            std::lock_guard<std::mutex> lk(mu_);
            fn_ = &fn;
            count_.store(n);
            next_.store(0);
            done_ = 0;
            ++generation_;
        }
        wake_.notify_all();
        size_t mine = drain();
        std::unique_lock<std::mutex> lk(mu_);
        done_ += mine;
        finished_.wait(lk, [&] { return done_ == count_; });
        fn_ = nullptr;
    }

private:
    size_t drain() {
        size_t ran = 0;
        for (size_t i = next_.fetch_add(1); i < count_; i = next_.fetch_add(1)) {
            (*fn_)(i);
            ++ran;
        }
        return ran;
    }

    void work() {
        uint64_t seen = 0;
        for (;;) {
            std::unique_lock<std::mutex> lk(mu_);
            wake_.wait(lk, [&] { return generation_ != seen && fn_ != nullptr; });
            seen = generation_;
            lk.unlock();
            size_t ran = drain();
            lk.lock();
            done_ += ran;
            if (done_ == count_) finished_.notify_all();
        }
    }

    std::mutex job_mu_;
    std::mutex mu_;
    std::condition_variable wake_, finished_;
    const std::function<void(size_t)>* fn_ = nullptr;
    std::atomic<size_t> count_{0};
    std::atomic<size_t> next_{0};
    size_t done_ = 0;
    uint64_t generation_ = 0;
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

} // namespace vm
