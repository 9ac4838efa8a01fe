#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "VivirovKit/Agentic/ContextWindowGuard.h"
#include "VivirovKit/Verification/TaskVerifierEngine.h"

namespace vivirov {
namespace {

using Blocks = std::vector<std::string>;

TEST(ContextWindowGuard, EstimatesAndBudgets) {
    EXPECT_EQ(ContextWindowGuard::estimateTokens(""), 0);
    EXPECT_EQ(ContextWindowGuard::estimateTokens("a"), 1);
    EXPECT_EQ(ContextWindowGuard::estimateTokens("abcd"), 1);
    EXPECT_EQ(ContextWindowGuard::estimateTokens("abcde"), 2);
    EXPECT_EQ(ContextWindowGuard::estimateTokens("\u00e9\u00e9\u00e9"), 2); // 6 bytes
    EXPECT_EQ(ContextWindowGuard(65'536, 0.85).budgetTokens(), 55'705);
    EXPECT_EQ(ContextWindowGuard(1000, 0).budgetTokens(), 0);
}

TEST(ContextWindowGuard, CompressesOldBlocksAndDropsTheOldestRecentOnes) {
    const std::string b1(40, '1'), b2(40, '2'), b3(40, '3'), b4(40, '4'), b5(40, '5');
    const std::string longSummary = "0123456789abcdefghijklmnopqrst"; // 30 characters
    struct Case {
        const char* name;
        Blocks blocks;
        int64_t budget;
        int keepRecent;
        std::string summary;
        std::optional<Blocks> summarized; // none: summarize must not be called
        std::string expected;
    } cases[] = {
        {"nothing", {}, 100, 2, "S", std::nullopt, ""},
        {"fits, empty blocks kept as empty lines", {"a", "", "b"}, 100, 2, "S", std::nullopt,
         "a\n\nb"},
        {"summary and the two recent blocks fit", {b1, b2, b3, b4, b5}, 30, 2, "S",
         Blocks{b1, b2, b3}, "S\n" + b4 + "\n" + b5},
        {"the older recent block is dropped", {b1, b2, b3, b4, b5}, 15, 2, "S",
         Blocks{b1, b2, b3}, "S\n" + b5},
        {"both recent blocks dropped", {b1, b2, b3, b4, b5}, 5, 2, "S", Blocks{b1, b2, b3}, "S"},
        {"summary alone cut to its last 4 x budget characters", {b1, b2, b3, b4, b5}, 5, 2,
         longSummary, Blocks{b1, b2, b3}, "abcdefghijklmnopqrst"},
        {"keepRecent above the count summarises nothing", {b1, b2, b3}, 25, 10, "S", std::nullopt,
         b2 + "\n" + b3},
        {"negative keepRecent summarises everything", {b1, b2, b3}, 25, -1, "S",
         Blocks{b1, b2, b3}, "S"},
        {"an empty summary is left out", {b1, b2, b3}, 15, 1, "", Blocks{b1, b2}, b3},
        {"a zero budget gives nothing", {"a"}, 0, 2, "S", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<Blocks> received;
        const auto summarize = [&](const Blocks& old) {
            received = old;
            return c.summary;
        };
        const ContextWindowGuard guard(c.budget, 1.0);
        EXPECT_EQ(guard.compress(c.blocks, summarize, c.keepRecent), c.expected);
        if (c.summarized) {
            EXPECT_EQ(received, c.summarized);
        } else {
            EXPECT_FALSE(received.has_value()) << "summarize was called";
        }
    }
}

TEST(ContextWindowGuard, FinalCutCountsCharactersNotBytes) {
    // Each "e" + combining acute is one character of three bytes.
    std::string accented;
    for (int i = 0; i < 30; ++i) accented += "e\u0301";
    const ContextWindowGuard guard(2, 1.0); // 8 characters
    const std::string result =
        guard.compress({std::string(20, 'x'), std::string(20, 'y')}, [&](const Blocks&) { return accented; }, 0);
    std::string expected;
    for (int i = 0; i < 8; ++i) expected += "e\u0301";
    EXPECT_EQ(result, expected);
}

TEST(ContextWindowGuard, SummarisesFailureHistoryWithTheVerifierSummary) {
    Blocks failures;
    for (int code : {1, 2, 127, 1, 0}) {
        failures.push_back("<failure><exit_code>" + std::to_string(code) + "</exit_code><stderr>" +
                           std::string(200, 'e') + "</stderr></failure>");
    }
    const ContextWindowGuard guard(200, 1.0);
    const std::string compressed =
        guard.compress(failures, TaskVerifierEngine::summarizeOldFailures, 2);
    EXPECT_EQ(compressed,
              "<prior_failures summary=\"attempts 1-3 failed (exit codes: 1,2,127); raw traces "
              "truncated to fit context\"/>\n" +
                  failures[3] + "\n" + failures[4]);
}

} // namespace
} // namespace vivirov
