#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>

#include "VivirovKit/Support/Clock.h"

namespace vivirov {

class Clock;

// Runs jobs once their delay has passed on a clock, one thread for all of
// them (the deferred flushes of the token throttles). Waiting goes through
// the clock, so a test drives it by advancing a FakeClock. Jobs due at the
// same time run in the order they were scheduled; destroying the timer drops
// the jobs not yet due.
class ClockTimer {
public:
    explicit ClockTimer(Clock& clock);
    ~ClockTimer();
    ClockTimer(const ClockTimer&) = delete;
    ClockTimer& operator=(const ClockTimer&) = delete;

    void after(uint64_t delayNanos, std::function<void()> job);
    Clock& clock() const { return clock_; }
    // True when no job is due on the clock and none is running: everything
    // the clock's time has made due has run. Lets a driver of a FakeClock
    // wait for the firings of each step instead of guessing a delay.
    bool isSettled();
    // Jobs run so far.
    uint64_t firedCount();

    // On the system clock; lives until the process ends.
    static ClockTimer& shared();

private:
    void run(std::stop_token stop);

    Clock& clock_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::multimap<uint64_t, std::function<void()>> jobs_; // by due time
    std::stop_source wakeSleeper_;                        // ends the current clock wait
    bool running_ = false;
    uint64_t fired_ = 0;
    std::jthread thread_;
};

} // namespace vivirov
