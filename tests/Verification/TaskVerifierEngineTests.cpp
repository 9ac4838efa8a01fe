#include <gtest/gtest.h>

#include "VivirovKit/Verification/TaskVerifierEngine.h"

namespace vivirov {
namespace {

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
