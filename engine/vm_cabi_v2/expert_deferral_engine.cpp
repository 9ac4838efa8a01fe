#include "vm_cabi_v2/expert_deferral_engine.h"

#include "common/thread_budget.h"
#include "vm_cabi_v2/read_queue.h"

namespace vm::apex {

ExpertDeferralEngine::ExpertDeferralEngine() = default;

ExpertDeferralEngine::~ExpertDeferralEngine() { queue_.reset(); }

void ExpertDeferralEngine::submit_experts(std::vector<ExpertJob> jobs) {
    pending_ = int(jobs.size());
    if (jobs.empty()) return;
    {
        std::lock_guard lock(mu_);
        in_flight_ = int(jobs.size());
        ++generation_;
    }
    if (!queue_) queue_ = std::make_unique<ReadQueue>("vm.experts", thread_budget());
    for (ExpertJob& job : jobs)
        queue_->submit([this, job = std::move(job)] {
            if (job.run) job.run();
            finish_one_();
        });
}

void ExpertDeferralEngine::finish_one_() {
    // Counted before the waiter can be released, so wait() sees every job done.
    std::lock_guard lock(mu_);
    completed_.fetch_add(1, std::memory_order_relaxed);
    if (in_flight_ > 0 && --in_flight_ == 0) cv_.notify_all();
}

void ExpertDeferralEngine::wait() {
    if (pending_ != 0) {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return in_flight_ == 0; });
    }
    pending_ = 0;
}

int ExpertDeferralEngine::generation() const {
    std::lock_guard lock(mu_);
    return generation_;
}

} // namespace vm::apex
