#include "VivirovKit/Support/Clock.h"

#include <atomic>
#include <time.h>

namespace vivirov {

namespace {
std::atomic<Clock*> installed{nullptr};
}

Clock& Clock::current() {
    Clock* clock = installed.load(std::memory_order_acquire);
    return clock ? *clock : SystemClock::shared();
}

void Clock::setCurrent(Clock* clock) { installed.store(clock, std::memory_order_release); }

SystemClock& SystemClock::shared() {
    static SystemClock clock;
    return clock;
}

uint64_t SystemClock::uptimeNanos() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000ull + uint64_t(ts.tv_nsec);
}

double SystemClock::wallSeconds() const {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool SystemClock::sleepFor(uint64_t nanos, const std::stop_token& token) {
    return cancellableSleep(std::chrono::nanoseconds(nanos), token);
}

bool cancellableSleep(std::chrono::nanoseconds duration, const std::stop_token& token) {
    if (token.stop_requested()) return false;
    std::mutex mutex;
    std::condition_variable_any cv;
    std::unique_lock lock(mutex);
    // wait_for with a stop token wakes as soon as a stop is requested.
    cv.wait_for(lock, token, duration, [] { return false; });
    return !token.stop_requested();
}

FakeClock::FakeClock(uint64_t startNanos, double wallStart)
    : now_(startNanos), wallStart_(wallStart), start_(startNanos) {}

uint64_t FakeClock::uptimeNanos() const {
    std::lock_guard lock(mutex_);
    return now_;
}

double FakeClock::wallSeconds() const {
    std::lock_guard lock(mutex_);
    return wallStart_ + double(now_ - start_) / 1e9;
}

bool FakeClock::sleepFor(uint64_t nanos, const std::stop_token& token) {
    uint64_t deadline;
    {
        std::lock_guard lock(mutex_);
        deadline = now_ + nanos;
    }
    return sleepUntil(deadline, token);
}

bool FakeClock::sleepUntil(uint64_t deadline, const std::stop_token& token) {
    std::unique_lock lock(mutex_);
    ++sleepers_;
    changed_.notify_all();
    bool reached = changed_.wait(lock, token, [&] { return now_ >= deadline; });
    --sleepers_;
    return reached && !token.stop_requested();
}

void FakeClock::advance(uint64_t nanos) {
    {
        std::lock_guard lock(mutex_);
        now_ += nanos;
    }
    changed_.notify_all();
}

int FakeClock::sleepers() const {
    std::lock_guard lock(mutex_);
    return sleepers_;
}

} // namespace vivirov
