#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <stop_token>

#include "VivirovKit/Agentic/PowerSource.h"

namespace vivirov {

// Thrown when a budget has no attempt left.
struct BudgetError : std::runtime_error {
    enum class Kind { exhausted };
    static BudgetError exhausted(int attempts);

    Kind kind;
    int attempts;

private:
    BudgetError(Kind kind, int attempts, const std::string& description);
};

// How many attempts a retried job may make, and how long it pauses between
// them. On battery (read once, at creation) the attempts are halved and the
// pauses doubled.
class AgenticLoopBudget {
public:
    // Seconds on a monotonic scale; only differences are used.
    using TimeSource = std::function<double()>;

    // The default time source is the process clock's monotonic uptime.
    AgenticLoopBudget(int maxAttempts, const PowerSource& power, double timeScale = 1.0,
                      TimeSource clock = {});

    int requestedMaxAttempts() const { return requestedMaxAttempts_; }
    int maxAttempts() const { return maxAttempts_; }
    bool onBattery() const { return onBattery_; }
    double backoffMultiplier() const { return backoffMultiplier_; }
    int currentAttempt() const { return currentAttempt_; }
    double startedAt() const { return startedAt_; }
    double timeScale() const { return timeScale_; }

    bool hasBudget() const { return currentAttempt_ < maxAttempts_; }
    // Takes one attempt; throws BudgetError::exhausted and changes nothing
    // when none is left.
    void consumeAttempt();
    uint64_t backoffNanos(int afterAttempt) const;
    // Sleeps the back-off on the process clock; returns at once, without an
    // error, when `token` is or becomes stopped.
    void backoff(int afterAttempt, std::stop_token token = {}) const;
    double wallClockElapsed() const;

private:
    int requestedMaxAttempts_;
    int maxAttempts_;
    bool onBattery_;
    double backoffMultiplier_;
    int currentAttempt_ = 0;
    TimeSource clock_;
    double startedAt_;
    double timeScale_;
};

} // namespace vivirov
