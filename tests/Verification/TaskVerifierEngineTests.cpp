#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <mutex>

#include "VivirovKit/Agentic/PowerSource.h"
#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Verification/ShellVerificationCommand.h"
#include "VivirovKit/Verification/TaskVerifierEngine.h"
#include "tests/support/TempDir.h"

namespace vivirov {
namespace {

using Phase = TaskVerifierEngine::Phase;
constexpr uint64_t kMilli = 1'000'000;

// Records the feedback of every attempt; an optional action stands for the
// attempt's effect on the world.
struct ScriptedDriver : GenerationDriver {
    std::vector<std::optional<std::string>> feedback;
    std::function<void(int attempt)> effect;
    void attempt(const std::optional<std::string>& injectingFailure, std::stop_token) override {
        feedback.push_back(injectingFailure);
        if (effect) effect(static_cast<int>(feedback.size()));
    }
};

// Plays results in order; the last one repeats.
struct ScriptedCriterion : VerificationCommand {
    std::string text = "make test";
    mutable std::deque<ProcessResult> results;
    std::function<void()> onExecute;
    const std::string& command() const override { return text; }
    ProcessResult execute(std::stop_token) const override {
        if (onExecute) onExecute();
        ProcessResult r = results.front();
        if (results.size() > 1) results.pop_front();
        return r;
    }
};

// Records every wait and returns at once, moving its time on.
class RecordingClock final : public Clock {
public:
    uint64_t uptimeNanos() const override { return now_; }
    double wallSeconds() const override { return 1.7e9; }
    bool sleepFor(uint64_t nanos, const std::stop_token& token) override {
        waits.push_back(nanos);
        now_ += nanos;
        return !token.stop_requested();
    }
    std::vector<uint64_t> waits;

private:
    uint64_t now_ = 1;
};

ProcessResult failing(int32_t code, std::string stderr = "boom") { return {"make test", code, "", stderr, false}; }
const ProcessResult kPassing{"make test", 0, "all good\n", "", false};

class VerifierTest : public ::testing::Test {
protected:
    VerifierTest() { Clock::setCurrent(&clock_); }
    ~VerifierTest() override { Clock::setCurrent(nullptr); }

    TaskVerifierEngine engine(int maxAttempts, ContextWindowGuard guard = {100'000, 0.8}) {
        budget_ = std::make_shared<AgenticLoopBudget>(maxAttempts, FixedPowerSource(false), 1.0);
        return TaskVerifierEngine("make the tests pass", driver_, criterion_, budget_, guard,
                                  [this] { return ++epoch_; }, [this](const Phase& p) { phases_.push_back(p); });
    }

    RecordingClock clock_;
    std::shared_ptr<ScriptedDriver> driver_ = std::make_shared<ScriptedDriver>();
    std::shared_ptr<ScriptedCriterion> criterion_ = std::make_shared<ScriptedCriterion>();
    std::shared_ptr<AgenticLoopBudget> budget_;
    std::vector<Phase> phases_;
    int64_t epoch_ = 1000;
};

TEST_F(VerifierTest, APassingCriterionEndsTheFirstAttempt) {
    criterion_->results = {kPassing};
    auto verifier = engine(5);
    EXPECT_EQ(verifier.run(), (TaskVerifierEngine::Outcome{true, 1, kPassing}));
    EXPECT_EQ(phases_, (std::vector<Phase>{Phase::generating(1), Phase::verifying(1), Phase::passed(1)}));
    EXPECT_EQ(driver_->feedback, (std::vector<std::optional<std::string>>{std::nullopt}));
    EXPECT_TRUE(verifier.failureHistory().empty());
    EXPECT_TRUE(clock_.waits.empty());
}

TEST_F(VerifierTest, FailuresFeedTheNextAttemptsWithBackOffBetween) {
    criterion_->results = {failing(1), failing(2), kPassing};
    auto verifier = engine(5);
    EXPECT_EQ(verifier.run(), (TaskVerifierEngine::Outcome{true, 3, kPassing}));
    EXPECT_EQ(phases_, (std::vector<Phase>{Phase::generating(1), Phase::verifying(1), Phase::generating(2),
                                           Phase::verifying(2), Phase::generating(3), Phase::verifying(3),
                                           Phase::passed(3)}));
    const auto history = verifier.failureHistory();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0], TaskVerifierEngine::makeFailureXML(failing(1), 1, 1001));
    EXPECT_EQ(history[1], TaskVerifierEngine::makeFailureXML(failing(2), 2, 1002));
    EXPECT_EQ(driver_->feedback, (std::vector<std::optional<std::string>>{
                                     std::nullopt, history[0], history[0] + "\n" + history[1]}));
    EXPECT_EQ(clock_.waits, (std::vector<uint64_t>{100 * kMilli, 500 * kMilli}));
}

TEST_F(VerifierTest, RunningOutOfAttemptsAnnouncesItAndThrows) {
    criterion_->results = {failing(1)};
    auto verifier = engine(2);
    try {
        verifier.run();
        FAIL() << "no error";
    } catch (const BudgetError& error) {
        EXPECT_EQ(error.attempts, 2);
    }
    EXPECT_EQ(phases_, (std::vector<Phase>{Phase::generating(1), Phase::verifying(1), Phase::generating(2),
                                           Phase::verifying(2), Phase::exhausted(2)}));
    EXPECT_EQ(verifier.failureHistory().size(), 2u);
    EXPECT_EQ(clock_.waits, std::vector<uint64_t>{100 * kMilli}); // none after the last attempt

    // A second run continues with the same budget: nothing left, nothing announced.
    phases_.clear();
    EXPECT_THROW(verifier.run(), BudgetError);
    EXPECT_TRUE(phases_.empty());
    EXPECT_EQ(verifier.failureHistory().size(), 2u);
}

TEST_F(VerifierTest, OlderFailuresAreSummarisedWhenTheyNoLongerFit) {
    criterion_->results = {failing(1, std::string(1000, 'x')), failing(2, std::string(1000, 'y')),
                           failing(3, std::string(1000, 'z')), kPassing};
    // 900 tokens: three blocks (about 1050) do not fit; a summary and two do.
    auto verifier = engine(5, ContextWindowGuard(900, 1.0));
    verifier.run();
    const auto history = verifier.failureHistory();
    ASSERT_EQ(driver_->feedback.size(), 4u);
    EXPECT_EQ(driver_->feedback[3], TaskVerifierEngine::summarizeOldFailures({history[0]}) + "\n" + history[1] +
                                        "\n" + history[2]);
}

TEST_F(VerifierTest, AStopEndsTheLoopBeforeTheNextAttempt) {
    std::stop_source stop;
    criterion_->results = {failing(1)};
    criterion_->onExecute = [&] { stop.request_stop(); };
    auto verifier = engine(5);
    EXPECT_THROW(verifier.run(stop.get_token()), CancellationError);
    EXPECT_EQ(phases_, (std::vector<Phase>{Phase::generating(1), Phase::verifying(1)}));
    EXPECT_EQ(verifier.failureHistory().size(), 1u);
    EXPECT_EQ(budget_->currentAttempt(), 1);
}

TEST_F(VerifierTest, ARealCriterionPassesOnceTheDriverHasDoneTheWork) {
    test::TempDir folder;
    driver_->effect = [&](int attempt) {
        if (attempt == 2) folder.write("done", "yes");
    };
    auto verifier = TaskVerifierEngine(
        "create the file", driver_, std::make_shared<ShellVerificationCommand>("test -f done", folder.path(), 30),
        std::make_shared<AgenticLoopBudget>(3, FixedPowerSource(false)), ContextWindowGuard(100'000, 0.8),
        [] { return int64_t(7); }, [this](const Phase& p) { phases_.push_back(p); });
    const auto outcome = verifier.run();
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(outcome.attempts, 2);
    EXPECT_EQ(verifier.failureHistory(),
              std::vector<std::string>{TaskVerifierEngine::makeFailureXML({"test -f done", 1, "", "", false}, 1, 7)});
}

const char* kFailedDirective =
    "Your previous attempt FAILED verification — the success-criteria command exited non-zero. Read the exit code "
    "and output above, identify the root cause, and generate a corrected change.";
const char* kTerminatedDirective =
    "Your previous attempt was TERMINATED (it timed out or was killed). Make the change complete faster, or fix "
    "what caused the hang.";

std::string block(const std::string& code, const std::string& command, const std::string& trace,
                  const char* directive) {
    return "<verification_failure>\n<timestamp>42</timestamp>\n<exit_code>" + code +
           "</exit_code>\n<attempt_number>3</attempt_number>\n<failing_command>" + command +
           "</failing_command>\n<stack_trace>\n" + trace + "\n</stack_trace>\n<resolution_directive>\n" + directive +
           " Do not apologize. Just fix it.\n</resolution_directive>\n</verification_failure>";
}

TEST(TaskVerifierEngine, FailureBlocks) {
    const std::string longOutput = std::string(1500, 'a') + std::string(2000, 'b') + std::string(1500, 'c');
    struct Case {
        const char* name;
        ProcessResult result;
        std::string expected;
    } cases[] = {
        {"markup escaped, quotes kept", {"a && b > \"c\"", 2, "ignored", "x < y & 'z'", false},
         block("2", "a &amp;&amp; b &gt; \"c\"", "x &lt; y &amp; 'z'", kFailedDirective)},
        {"standard output when standard error is empty", {"t", 1, "only out", "", false},
         block("1", "t", "only out", kFailedDirective)},
        {"both empty", {"t", 1, "", "", false}, block("1", "t", "", kFailedDirective)},
        {"timed out", {"t", 124, "", "", true}, block("124", "t", "", kTerminatedDirective)},
        {"killed", {"t", 9, "", "", true}, block("9", "t", "", kTerminatedDirective)},
        {"long output clipped", {"t", 1, "", longOutput, false},
         block("1", "t", std::string(1500, 'a') + "\n…[elided 2000 chars]…\n" + std::string(1500, 'c'),
               kFailedDirective)},
        {"long command clipped", {std::string(250, 'p') + std::string(250, 'q'), 1, "", "", false},
         block("1", std::string(200, 'p') + "\n…[elided 100 chars]…\n" + std::string(200, 'q'), "",
               kFailedDirective)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TaskVerifierEngine::makeFailureXML(c.result, 3, 42), c.expected);
    }
}

TEST(TaskVerifierEngine, ClipCountsUserPerceivedCharacters) {
    const std::string accented = "e\xCC\x81"; // e and a combining acute: one character
    std::string text;
    for (int i = 0; i < 6; ++i) text += accented;
    EXPECT_EQ(TaskVerifierEngine::clip(text, 6), text);
    EXPECT_EQ(TaskVerifierEngine::clip(text, 4), accented + accented + "\n…[elided 2 chars]…\n" + accented + accented);
    EXPECT_EQ(TaskVerifierEngine::clip("abcdefg", 3), "a\n…[elided 4 chars]…\ng");
}

TEST(TaskVerifierEngine, SummarizesOldFailuresByTheirExitCodes) {
    struct Case {
        const char* name;
        std::vector<std::string> blocks;
        std::string codes;
    } cases[] = {
        {"codes in order", {"<exit_code>1</exit_code>", "x<exit_code>2</exit_code>y"}, "1,2"},
        {"white space and line breaks trimmed", {"<exit_code>\n  137 \t\n</exit_code>"}, "137"},
        {"first element only", {"<exit_code>3</exit_code><exit_code>4</exit_code>"}, "3"},
        {"blocks without both markers add no code",
         {"no code", "<exit_code>5", "<exit_code>6</exit_code>", "</exit_code>7"}, "6"},
        {"no blocks", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TaskVerifierEngine::summarizeOldFailures(c.blocks),
                  "<prior_failures summary=\"attempts 1-" + std::to_string(c.blocks.size()) +
                      " failed (exit codes: " + c.codes +
                      "); raw traces truncated to fit context\"/>");
    }
}

} // namespace
} // namespace vivirov
