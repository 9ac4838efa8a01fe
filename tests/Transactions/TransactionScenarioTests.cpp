#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/Transactions/ScriptedSession.h"

using namespace vivirov;
using namespace vivirov::test;
using TS = TransactionState;
using Asked = RecordingVerifier::Asked;

namespace {

const std::string begin = "begin prompt";
std::string toolResult(const std::string& text) { return "inject \n<tool_result>\n" + text + "\n</tool_result>\n"; }
std::string failed(const std::string& fenceLine, const std::string& body, int attempts) {
    return "```" + fenceLine + "\n" + body + "[SYSTEM: Code validation failed after " + std::to_string(attempts) +
           " attempts]\n```";
}

struct Scenario {
    const char* what;
    std::vector<std::string> pieces;
    int64_t maxRetries = 2;
    std::optional<std::string> toolResult; // a tool handler answers with this
    std::vector<std::string> texts;        // onText calls, in order
    std::vector<std::string> log;          // session calls
    std::vector<Asked> asked;              // verifier calls
    std::optional<std::vector<TS>> states; // every onState call, when given
};

} // namespace

// Whole generations against a scripted session and the real syntax verifier.
TEST(InferenceTransactions, Scenarios) {
    const TS dp = TS::decodingProse();
    const std::string pyPenalty1 = penaltyFor("def f(:\n", "python");
    const Scenario scenarios[] = {
        {"prose passes on twelve characters behind, the rest at the end",
         {"Hello there, ", "this is plain prose."},
         2, std::nullopt,
         {"H", "ello there, this is ", "plain prose."},
         {begin, "release", "end"},
         {},
         std::vector<TS>{dp, dp, dp, dp, TS::idle()}},
        {"a fence line split over pieces opens a block that is committed whole",
         {"Intro ```py", "thon\nprint(1)\n", "x = 2\n```", " after"},
         2, std::nullopt,
         {"Intro ", "```python\nprint(1)\nx = 2\n```", " after"},
         {begin, "snapshot 1", "release", "release", "end"},
         {{"print(1)\nx = 2\n", "python"}},
         std::vector<TS>{dp, dp, TS::transactionOpen(1, "python"), TS::validating("python"), dp, dp, dp, TS::idle()}},
        {"a block opened and closed in one piece, with an empty language",
         {"```\nx = 1\n``` ok"},
         2, std::nullopt,
         {"```\nx = 1\n```", " ok"},
         {begin, "snapshot 1", "release", "release", "end"},
         {{"x = 1\n", ""}}, std::nullopt},
        {"the language goes to the verifier as written, trimmed of blanks",
         {"``` \tPython \nprint(1\n```"},
         0, std::nullopt,
         {failed("Python", "print(1\n", 1)},
         {begin, "snapshot 1", "release", "release", "end"},
         {{"print(1\n", "Python"}}, std::nullopt},
        {"an invalid block is rolled back, penalised and written again",
         {"```python\ndef f(:\n", "```\n", "def f():\n    return 1\n```", "\nDone."},
         2, std::nullopt,
         {"```python\ndef f():\n    return 1\n```", "\nDone."},
         {begin, "snapshot 1", "rollback 1", "inject " + pyPenalty1, "release", "release", "end"},
         {{"def f(:\n", "python"}, {"def f():\n    return 1\n", "python"}},
         std::vector<TS>{dp, TS::transactionOpen(1, "python"), TS::validating("python"), TS::rollingBack(1),
                         TS::penaltyInjected(1), TS::transactionOpen(1, "python"), TS::validating("python"), dp, dp,
                         dp, TS::idle()}},
        {"after the last retry the block is committed with the failure note",
         {"```python\ndef a(:\n```", "def b(:\n```", "def c(:\n``` tail"},
         2, std::nullopt,
         {failed("python", "def c(:\n", 3), " tail"},
         {begin, "snapshot 1", "rollback 1", "inject " + penaltyFor("def a(:\n", "python"), "rollback 1",
          "inject " + penaltyFor("def b(:\n", "python"), "release", "release", "end"},
         {{"def a(:\n", "python"}, {"def b(:\n", "python"}, {"def c(:\n", "python"}},
         std::vector<TS>{dp, TS::transactionOpen(1, "python"), TS::validating("python"), TS::rollingBack(1),
                         TS::penaltyInjected(1), TS::transactionOpen(1, "python"), TS::validating("python"),
                         TS::rollingBack(2), TS::penaltyInjected(2), TS::transactionOpen(1, "python"),
                         TS::validating("python"), dp, dp, TS::idle()}},
        {"without retries the first invalid block is committed at once",
         {"```c\nint main( {\n```"},
         0, std::nullopt,
         {failed("c", "int main( {\n", 1)},
         {begin, "snapshot 1", "release", "release", "end"},
         {{"int main( {\n", "c"}}, std::nullopt},
        {"a generation that ends inside a block commits it with the note",
         {"Code: ```js\nlet a = [1,", " 2]"},
         1, std::nullopt,
         {"Code: ", failed("js", "let a = [1, 2]\n", 2)},
         {begin, "snapshot 1", "release", "release", "end"},
         {}, std::nullopt},
        {"a tool call is cut out of the prose and its result injected",
         {"Let me check. <tool_call>{\"tool\":\"read_file\",\"args\":{\"path\":\"a\"}}</tool_call>",
          " The answer is 42."},
         2, "42",
         {"Let me check. ", " The a", "nswer is 42."},
         {begin, toolResult("42"), "release", "end"},
         {},
         std::vector<TS>{dp, TS::executingTool("Read File"), dp, dp, dp, TS::idle()}},
        {"a tool call wins over a fence line before it in the same piece",
         {"```json\n<tool_call>{\"tool\":\"x\"}</tool_call>"},
         2, "ok",
         {"```json\n"},
         {begin, toolResult("ok"), "release", "end"},
         {}, std::nullopt},
        {"an envelope goes first; a fence after it waits for the next piece",
         {"<tool_call>{}</tool_call>```py\nx = 1\n```", "!"},
         2, "ok",
         {"```py\nx = 1\n```", "!"},
         {begin, toolResult("ok"), "snapshot 1", "release", "release", "end"},
         {{"x = 1\n", "py"}}, std::nullopt},
        {"without a handler an envelope is held until a fence line",
         {"A <tool_call>{\"tool\":\"x\"}</tool_call> and more", "```py\nx = 1\n```"},
         2, std::nullopt,
         {"A <tool_call>{\"tool\":\"x\"}</tool_call> and more", "```py\nx = 1\n```"},
         {begin, "snapshot 1", "release", "release", "end"},
         {{"x = 1\n", "py"}}, std::nullopt},
        {"without a handler an envelope left at the end is passed on whole",
         {"See <tool_call>{\"tool\":\"x\"}", " as text"},
         2, std::nullopt,
         {"See <tool_call>{\"tool\":\"x\"} as text"},
         {begin, "release", "end"},
         {}, std::nullopt},
        // A second block closed in the same piece as the first would otherwise
        // reach the reader unvalidated when no piece follows.
        {"a complete block left in the prose at the end is still judged",
         {"```py\nx = 1\n``` then ```python\ndef f(:\n``` end"},
         2, std::nullopt,
         {"```py\nx = 1\n```", " then ", failed("python", "def f(:\n", 3), " end"},
         {begin, "snapshot 1", "release", "snapshot 2", "release", "release", "end"},
         {{"x = 1\n", "py"}, {"def f(:\n", "python"}}, std::nullopt},
        {"a block opened in the prose left at the end is committed with the note",
         {"```py\nx = 1\n``` and ```js\nlet a = 1;"},
         2, std::nullopt,
         {"```py\nx = 1\n```", " and ", failed("js", "let a = 1;\n", 3)},
         {begin, "snapshot 1", "release", "snapshot 2", "release", "release", "end"},
         {{"x = 1\n", "py"}}, std::nullopt},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.what);
        TransactionRig rig(s.pieces, s.maxRetries, s.toolResult);
        rig.run();
        EXPECT_EQ(rig.texts, s.texts);
        EXPECT_EQ(rig.session->log(), s.log);
        EXPECT_EQ(rig.verifier->asked(), s.asked);
        if (s.states) {
            EXPECT_EQ(rig.states, *s.states);
        }
        EXPECT_EQ(rig.manager->state(), TS::idle());
    }
}

TEST(InferenceTransactions, PenaltyNoteIsTheVerdictsOrTheDefault) {
    struct Case {
        std::optional<std::string> penalty;
        std::string injected;
    };
    const Case cases[] = {
        {std::nullopt, "\n// ERROR: invalid syntax, regenerate.\n"},
        {"exactly this", "exactly this"},
    };
    for (const Case& c : cases) {
        TransactionRig rig({"```x\n1\n```", "2\n```"}, 1, std::nullopt, ValidationResult{false, c.penalty});
        rig.run();
        EXPECT_EQ(rig.session->log(), (std::vector<std::string>{begin, "snapshot 1", "rollback 1", "inject " + c.injected,
                                                               "release", "release", "end"}));
        EXPECT_EQ(rig.texts, (std::vector<std::string>{failed("x", "2\n", 2)}));
    }
}

TEST(InferenceTransactions, FinishedPieceIsDropped) {
    TransactionRig rig({"Short"}, 2);
    rig.session->finalPiece = "IGNORED";
    rig.run();
    EXPECT_EQ(rig.texts, (std::vector<std::string>{"Short"}));
}

TEST(InferenceTransactions, ImagesGoInAfterTheSessionBegins) {
    TransactionRig rig({"Hi"}, 2);
    rig.run({{std::vector<uint8_t>(6, 1), 2, 1}, {std::vector<uint8_t>(3, 2), 1, 1}});
    EXPECT_EQ(rig.session->log(), (std::vector<std::string>{begin, "image 2x1:6", "image 1x1:3", "release", "end"}));
}

TEST(InferenceTransactions, RefusedSessionReportsAndStops) {
    TransactionRig rig({"never"}, 2);
    rig.session->beginResult = false;
    rig.run({{std::vector<uint8_t>(3, 0), 1, 1}});
    EXPECT_EQ(rig.texts, (std::vector<std::string>{"[engine error: session begin failed]"}));
    EXPECT_EQ(rig.session->log(), (std::vector<std::string>{begin}));
    EXPECT_TRUE(rig.states.empty());
    EXPECT_EQ(rig.session->decodes(), 0u);
}
