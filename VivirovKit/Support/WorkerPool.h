#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vivirov {

// A bounded set of worker threads for "detached" work. Jobs run in FIFO
// order across the workers; the destructor runs what is queued, then joins.
class WorkerPool {
public:
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void submit(std::function<void()> job);
    unsigned size() const { return unsigned(workers_.size()); }

    // The process-wide pool: the count given to setSharedSize, else the
    // hardware threads; at least 4, since its jobs may block.
    static WorkerPool& shared();
    // Sizes the process-wide pool; only the first call made before shared()
    // first runs takes effect. Returns the pool's size either way.
    static unsigned setSharedSize(unsigned threads);

private:
    void run();
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// Runs `jobs` on at most `maxParallel` threads (the calling thread is one of
// them), joins them all before returning, and returns the results in call
// order. An exception from a job is rethrown after every job has finished.
template <class T>
std::vector<T> runTaskGroup(const std::vector<std::function<T()>>& jobs, unsigned maxParallel) {
    std::vector<T> results(jobs.size());
    std::vector<std::exception_ptr> errors(jobs.size());
    std::mutex mutex;
    size_t next = 0;
    auto worker = [&] {
        for (;;) {
            size_t index;
            {
                std::lock_guard lock(mutex);
                if (next >= jobs.size()) return;
                index = next++;
            }
            try {
                results[index] = jobs[index]();
            } catch (...) {
                errors[index] = std::current_exception();
            }
        }
    };
    unsigned helpers = maxParallel == 0 ? 0 : maxParallel - 1;
    if (helpers > jobs.size()) helpers = unsigned(jobs.size());
    std::vector<std::thread> threads;
    threads.reserve(helpers);
    for (unsigned i = 0; i < helpers; ++i) threads.emplace_back(worker);
    worker();
    for (auto& t : threads) t.join();
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
    return results;
}

} // namespace vivirov
