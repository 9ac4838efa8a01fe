#include "VivirovKit/Support/SerialQueue.h"

#include <pthread.h>

namespace vivirov {

SerialQueue::SerialQueue(std::string name) : name_(std::move(name)) {
    thread_ = std::thread([this] { run(); });
    // Linux limits thread names to 15 characters; keep the tail, the most specific part.
    std::string shortName = name_.size() > 15 ? name_.substr(name_.size() - 15) : name_;
    pthread_setname_np(thread_.native_handle(), shortName.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        delayed_.clear();
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SerialQueue::async(Job job) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(job));
    }
    cv_.notify_all();
}

void SerialQueue::asyncAfter(std::chrono::nanoseconds delay, Job job) {
    if (delay <= std::chrono::nanoseconds::zero()) return async(std::move(job));
    {
        std::lock_guard lock(mutex_);
        delayed_.emplace(std::chrono::steady_clock::now() + delay, std::move(job));
    }
    cv_.notify_all();
}

void SerialQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        // multimap keeps equal deadlines in insertion order.
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            ready_.push_back(std::move(delayed_.begin()->second));
            delayed_.erase(delayed_.begin());
        }
        if (!ready_.empty()) {
            Job job = std::move(ready_.front());
            ready_.pop_front();
            lock.unlock();
            job();
            lock.lock();
            continue;
        }
        if (stopping_) return;
        if (delayed_.empty()) {
            cv_.wait(lock);
        } else {
            cv_.wait_until(lock, delayed_.begin()->first);
        }
    }
}

} // namespace vivirov
