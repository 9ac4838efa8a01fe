#include "vm_cabi_v2/read_queue.h"

#include <pthread.h>

namespace vm {

ReadQueue::ReadQueue(const std::string& name, int threads) {
    const std::string label = name.substr(0, 15);
    try {
        for (int i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { work(); });
            pthread_setname_np(threads_.back().native_handle(), label.c_str());
        }
    } catch (...) {
        if (threads_.empty()) throw;
    }
}

ReadQueue::~ReadQueue() {
    {
        std::lock_guard lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
}

void ReadQueue::submit(std::function<void()> job) {
    {
        std::lock_guard lock(mu_);
        jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
}

void ReadQueue::drain() {
    std::unique_lock lock(mu_);
    idle_.wait(lock, [&] { return jobs_.empty() && running_ == 0; });
}

void ReadQueue::work() {
    std::unique_lock lock(mu_);
    for (;;) {
        cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) return; // stopping with nothing left
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        ++running_;
        lock.unlock();
        job();
        lock.lock();
        --running_;
        if (jobs_.empty() && running_ == 0) idle_.notify_all();
    }
}

} // namespace vm
