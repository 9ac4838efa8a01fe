#include "VivirovKit/Verification/TaskVerifierEngine.h"

#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

constexpr size_t kMaxTraceCharacters = 3000;
constexpr size_t kMaxCommandCharacters = 400;
constexpr int kRecentBlocksKept = 2;

std::string escapeMarkup(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

TaskVerifierEngine::TaskVerifierEngine(std::string objective, std::shared_ptr<GenerationDriver> driver,
                                       std::shared_ptr<VerificationCommand> criteria,
                                       std::shared_ptr<AgenticLoopBudget> budget, ContextWindowGuard guardian,
                                       EpochSource nowEpoch, PhaseCallback onPhase)
    : objective_(std::move(objective)), driver_(std::move(driver)), criteria_(std::move(criteria)),
      budget_(std::move(budget)), guardian_(guardian), nowEpoch_(std::move(nowEpoch)),
      onPhase_(std::move(onPhase)) {}

TaskVerifierEngine::Outcome TaskVerifierEngine::run(std::stop_token token) {
    while (true) {
        throwIfCancelled(token);
        budget_->consumeAttempt();
        const int64_t attempt = budget_->currentAttempt();
        announce(Phase::generating(attempt));

        std::optional<std::string> feedback;
        if (std::vector<std::string> blocks = failureHistory(); !blocks.empty())
            feedback = guardian_.compress(blocks, summarizeOldFailures, kRecentBlocksKept);
        driver_->attempt(feedback, token);

        announce(Phase::verifying(attempt));
        ProcessResult result = criteria_->execute(token);
        if (result.succeeded()) {
            announce(Phase::passed(attempt));
            return Outcome{true, attempt, std::move(result)};
        }

        std::string block = makeFailureXML(result, attempt, nowEpoch_());
        {
            std::lock_guard lock(mutex_);
            failureBlocks_.push_back(std::move(block));
        }
        if (!budget_->hasBudget()) {
            announce(Phase::exhausted(attempt));
            throw BudgetError::exhausted(static_cast<int>(attempt));
        }
        budget_->backoff(static_cast<int>(attempt), token);
    }
}

std::vector<std::string> TaskVerifierEngine::failureHistory() const {
    std::lock_guard lock(mutex_);
    return failureBlocks_;
}

void TaskVerifierEngine::announce(const Phase& phase) const {
    if (onPhase_) onPhase_(phase);
}

std::string TaskVerifierEngine::makeFailureXML(const ProcessResult& result, int64_t attempt, int64_t timestamp) {
    const std::string& output = result.stderr.empty() ? result.stdout : result.stderr;
    const std::string trace = escapeMarkup(clip(output, kMaxTraceCharacters));
    const std::string command = escapeMarkup(clip(result.command, kMaxCommandCharacters));
    const char* directive =
        result.exitCode == 124 || result.signaled
            ? "Your previous attempt was TERMINATED (it timed out or was killed). Make the change complete "
              "faster, or fix what caused the hang."
            : "Your previous attempt FAILED verification — the success-criteria command exited non-zero. Read "
              "the exit code and output above, identify the root cause, and generate a corrected change.";
    return "<verification_failure>\n<timestamp>" + std::to_string(timestamp) + "</timestamp>\n<exit_code>" +
           std::to_string(result.exitCode) + "</exit_code>\n<attempt_number>" + std::to_string(attempt) +
           "</attempt_number>\n<failing_command>" + command + "</failing_command>\n<stack_trace>\n" + trace +
           "\n</stack_trace>\n<resolution_directive>\n" + directive +
           " Do not apologize. Just fix it.\n</resolution_directive>\n</verification_failure>";
}

std::string TaskVerifierEngine::summarizeOldFailures(const std::vector<std::string>& blocks) {
    static constexpr std::string_view open = "<exit_code>";
    static constexpr std::string_view close = "</exit_code>";
    std::string codes;
    bool first = true;
    for (const std::string& block : blocks) {
        const size_t start = block.find(open);
        if (start == std::string::npos) continue;
        const size_t from = start + open.size();
        const size_t stop = block.find(close, from);
        if (stop == std::string::npos) continue;
        if (!first) codes += ",";
        codes += text::trimmed(std::string_view(block).substr(from, stop - from));
        first = false;
    }
    return "<prior_failures summary=\"attempts 1-" + std::to_string(blocks.size()) +
           " failed (exit codes: " + codes + "); raw traces truncated to fit context\"/>";
}

std::string TaskVerifierEngine::clip(std::string_view text, size_t max) {
    const size_t count = text::graphemeCount(text);
    if (count <= max) return std::string(text);
    return text::graphemePrefix(text, max / 2) + "\n…[elided " + std::to_string(count - max) + " chars]…\n" +
           text::graphemeSuffix(text, max / 2);
}

} // namespace vivirov
