#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

namespace vivirov {

// The one way code reads time and waits for it, so tests of time-outs,
// back-off and polling can run on a FakeClock instead of sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic nanoseconds since an arbitrary start ("uptime").
    virtual uint64_t uptimeNanos() const = 0;
    // Wall time in seconds since the Unix epoch.
    virtual double wallSeconds() const = 0;
    // Waits `nanos`; returns false at once when `token` asks to stop.
    virtual bool sleepFor(uint64_t nanos, const std::stop_token& token = {}) = 0;
    // Waits until the uptime reaches `deadline`. A waiter that computed its
    // deadline earlier must use this, not sleepFor: time that passes between
    // reading the clock and starting to sleep would otherwise be slept twice.
    virtual bool sleepUntil(uint64_t deadline, const std::stop_token& token = {}) {
        const uint64_t now = uptimeNanos();
        if (token.stop_requested()) return false;
        return deadline <= now || sleepFor(deadline - now, token);
    }

    // The process clock: the real one unless a test installed another.
    static Clock& current();
    static void setCurrent(Clock* clock); // nullptr restores the system clock
};

class SystemClock final : public Clock {
public:
    uint64_t uptimeNanos() const override;
    double wallSeconds() const override;
    bool sleepFor(uint64_t nanos, const std::stop_token& token = {}) override;
    static SystemClock& shared();
};

// Time moves only when a test calls advance(); sleepers wake when their
// deadline has been passed (or when cancelled).
class FakeClock final : public Clock {
public:
    explicit FakeClock(uint64_t startNanos = 1'000'000'000, double wallStart = 1.7e9);
    uint64_t uptimeNanos() const override;
    double wallSeconds() const override;
    bool sleepFor(uint64_t nanos, const std::stop_token& token = {}) override;
    bool sleepUntil(uint64_t deadline, const std::stop_token& token = {}) override;
    void advance(uint64_t nanos);
    // Number of threads currently inside sleepFor: lets a test wait until a
    // worker has reached its sleep before advancing.
    int sleepers() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    uint64_t now_;
    double wallStart_;
    uint64_t start_;
    int sleepers_ = 0;
};

// Sleeps on the system clock until `duration` passes or `token` stops;
// returns false when cancelled.
bool cancellableSleep(std::chrono::nanoseconds duration, const std::stop_token& token);

} // namespace vivirov
