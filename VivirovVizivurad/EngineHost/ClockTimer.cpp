#include "VivirovVizivurad/EngineHost/ClockTimer.h"

namespace vivirov {

ClockTimer::ClockTimer(Clock& clock) : clock_(clock), thread_([this](std::stop_token stop) { run(stop); }) {}

ClockTimer::~ClockTimer() {
    thread_.request_stop();
    {
        std::lock_guard lock(mutex_);
        wakeSleeper_.request_stop();
    }
    changed_.notify_all();
    thread_.join();
}

ClockTimer& ClockTimer::shared() {
    static auto* timer = new ClockTimer(SystemClock::shared());
    return *timer;
}

void ClockTimer::after(uint64_t delayNanos, std::function<void()> job) {
    const uint64_t due = clock_.uptimeNanos() + delayNanos;
    {
        std::lock_guard lock(mutex_);
        const bool earliest = jobs_.empty() || due < jobs_.begin()->first;
        jobs_.emplace(due, std::move(job));
        if (earliest) wakeSleeper_.request_stop(); // re-plan the wait
    }
    changed_.notify_all();
}

bool ClockTimer::isSettled() {
    std::lock_guard lock(mutex_);
    return !running_ && (jobs_.empty() || jobs_.begin()->first > clock_.uptimeNanos());
}

uint64_t ClockTimer::firedCount() {
    std::lock_guard lock(mutex_);
    return fired_;
}

void ClockTimer::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (jobs_.empty()) {
            changed_.wait(lock, stop, [&] { return !jobs_.empty(); });
            continue;
        }
        const uint64_t now = clock_.uptimeNanos();
        auto first = jobs_.begin();
        if (first->first <= now) {
            auto job = std::move(first->second);
            jobs_.erase(first);
            running_ = true;
            lock.unlock();
            job();
            lock.lock();
            running_ = false;
            ++fired_;
            continue;
        }
        const uint64_t due = first->first;
        wakeSleeper_ = std::stop_source();
        std::stop_token wake = wakeSleeper_.get_token();
        lock.unlock();
        clock_.sleepUntil(due, wake);
        lock.lock();
    }
}

} // namespace vivirov
