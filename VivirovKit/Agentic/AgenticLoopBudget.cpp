#include "VivirovKit/Agentic/AgenticLoopBudget.h"

#include <algorithm>
#include <string>
#include <utility>

#include "VivirovKit/Support/Clock.h"

namespace vivirov {

BudgetError::BudgetError(Kind kind, int attempts, const std::string& description)
    : std::runtime_error(description), kind(kind), attempts(attempts) {}

BudgetError BudgetError::exhausted(int attempts) {
    return BudgetError(Kind::exhausted, attempts,
                       "BudgetExhaustedError: gave up after " + std::to_string(attempts) +
                           " attempt(s)");
}

AgenticLoopBudget::AgenticLoopBudget(int maxAttempts, const PowerSource& power, double timeScale,
                                     TimeSource clock)
    : requestedMaxAttempts_(maxAttempts),
      maxAttempts_(maxAttempts),
      onBattery_(power.onBattery()),
      backoffMultiplier_(1.0),
      clock_(clock ? std::move(clock)
                   : TimeSource([] { return Clock::current().uptimeNanos() / 1e9; })),
      startedAt_(0),
      timeScale_(timeScale) {
    if (onBattery_) {
        maxAttempts_ = std::max(maxAttempts, 2) / 2;
        backoffMultiplier_ = 2.0;
    }
    startedAt_ = clock_();
}

void AgenticLoopBudget::consumeAttempt() {
    if (currentAttempt_ >= maxAttempts_) throw BudgetError::exhausted(currentAttempt_);
    ++currentAttempt_;
}

uint64_t AgenticLoopBudget::backoffNanos(int afterAttempt) const {
    const double base = afterAttempt <= 1 ? 0.1 : afterAttempt == 2 ? 0.5 : 2.0;
    const double seconds = base * backoffMultiplier_ * timeScale_;
    if (!(seconds > 0)) return 0;
    const double nanos = seconds * 1'000'000'000.0;
    // Callers keep the scale sane; saturate rather than overflow if one does not.
    if (nanos >= 18446744073709551615.0) return UINT64_MAX;
    return static_cast<uint64_t>(nanos);
}

void AgenticLoopBudget::backoff(int afterAttempt, std::stop_token token) const {
    const uint64_t nanos = backoffNanos(afterAttempt);
    if (nanos == 0 || token.stop_requested()) return;
    Clock::current().sleepFor(nanos, token);
}

double AgenticLoopBudget::wallClockElapsed() const { return clock_() - startedAt_; }

} // namespace vivirov
