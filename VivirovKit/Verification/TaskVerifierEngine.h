#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Agentic/AgenticLoopBudget.h"
#include "VivirovKit/Agentic/ContextWindowGuard.h"
#include "VivirovKit/Verification/GenerationDriver.h"
#include "VivirovKit/Verification/ProcessResult.h"
#include "VivirovKit/Verification/VerificationCommand.h"

namespace vivirov {

// Generate-then-verify rounds for one task: the driver makes an attempt, the
// criterion judges it, and each failure is recorded as an XML block that is
// fed (compressed to the guard's budget) into the next attempt, until the
// criterion passes or the budget has no attempt left.
class TaskVerifierEngine {
public:
    struct Phase {
        enum class Kind { generating, verifying, passed, exhausted };
        Kind kind;
        int64_t count; // the attempt, or the attempts made for passed/exhausted

        static Phase generating(int64_t attempt) { return {Kind::generating, attempt}; }
        static Phase verifying(int64_t attempt) { return {Kind::verifying, attempt}; }
        static Phase passed(int64_t attempts) { return {Kind::passed, attempts}; }
        static Phase exhausted(int64_t attempts) { return {Kind::exhausted, attempts}; }
        bool operator==(const Phase&) const = default;
    };

    struct Outcome {
        bool success = false;
        int64_t attempts = 0;
        std::optional<ProcessResult> lastResult;
        bool operator==(const Outcome&) const = default;
    };

    using PhaseCallback = std::function<void(const Phase&)>;
    using EpochSource = std::function<int64_t()>;

    TaskVerifierEngine(std::string objective, std::shared_ptr<GenerationDriver> driver,
                       std::shared_ptr<VerificationCommand> criteria, std::shared_ptr<AgenticLoopBudget> budget,
                       ContextWindowGuard guardian, EpochSource nowEpoch, PhaseCallback onPhase = {});

    const std::string& objective() const { return objective_; }

    // Returns only on success. Throws BudgetError when the attempts run out
    // and CancellationError when `token` stops before an attempt. Back-off
    // waits run on the process clock and end early on a stop request. A
    // second run continues with the recorded failures and the same budget.
    Outcome run(std::stop_token token = {});

    std::vector<std::string> failureHistory() const;

    static std::string makeFailureXML(const ProcessResult& result, int64_t attempt, int64_t timestamp);
    // One line standing for all older failure blocks: how many there were and
    // the exit code of each (taken from its first <exit_code> element).
    static std::string summarizeOldFailures(const std::vector<std::string>& blocks);
    // At most `max` characters: the head and tail halves around an elision mark.
    static std::string clip(std::string_view text, size_t max);

private:
    void announce(const Phase& phase) const;

    const std::string objective_;
    const std::shared_ptr<GenerationDriver> driver_;
    const std::shared_ptr<VerificationCommand> criteria_;
    const std::shared_ptr<AgenticLoopBudget> budget_;
    const ContextWindowGuard guardian_;
    const EpochSource nowEpoch_;
    const PhaseCallback onPhase_;

    mutable std::mutex mutex_;
    std::vector<std::string> failureBlocks_; // oldest first; only grows
};

} // namespace vivirov
