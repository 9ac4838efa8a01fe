#pragma once
// Runs the CPU evaluations of several routed experts at once. Jobs go to a
// queue of workers sized by the engine's thread budget (started on first
// use), so deferred experts never add threads beyond that budget; the caller
// waits for the whole submission before it sums the results.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vm {
class ReadQueue;
}

namespace vm::apex {

struct ExpertJob {
    int32_t layer = 0;
    int32_t expert = 0;
    std::function<void()> run;
};

class ExpertDeferralEngine {
public:
    ExpertDeferralEngine();
    ~ExpertDeferralEngine();
    ExpertDeferralEngine(const ExpertDeferralEngine&) = delete;
    ExpertDeferralEngine& operator=(const ExpertDeferralEngine&) = delete;

    bool enabled = true;

    // Queues every job; returns at once. pending() is the job count until
    // wait() collects them.
    void submit_experts(std::vector<ExpertJob> jobs);
    // Returns when every job of the latest submission has run.
    void wait();

    int pending() const { return pending_; }
    int generation() const;
    uint64_t completed() const { return completed_.load(std::memory_order_relaxed); }

private:
    void finish_one_();

    std::unique_ptr<ReadQueue> queue_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    int in_flight_ = 0;
    int generation_ = 0;
    int pending_ = 0;
    std::atomic<uint64_t> completed_{0};
};

} // namespace vm::apex
