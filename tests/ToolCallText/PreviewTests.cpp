#include <gtest/gtest.h>

#include "VivirovKit/Agentic/ToolCallPreview.h"
#include "VivirovKit/Support/Text.h"

using namespace vivirov;

namespace {
std::string repeat(const std::string& piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
}
} // namespace

TEST(ActivityPreview, CountsCharactersAndKeepsOneLine) {
    const std::string accented = "e\u0301"; // one character, three bytes
    struct Case {
        const char* what;
        std::string text;
        int limit;
        std::string expected;
    };
    const Case cases[] = {
        {"240 characters stay whole", "a\n\tb" + repeat("c", 236), 240, "a  b" + repeat("c", 236)},
        {"241 characters: 239 and an ellipsis", repeat("x", 241), 240, repeat("x", 239) + "\u2026"},
        {"line feeds inside the kept part", "a\nb\tc" + repeat("d", 300), 6, "a b c\u2026"},
        {"carriage return stays", "a\r\nb", 240, "a\r b"},
        {"characters, not bytes", repeat(accented, 241), 240, repeat(accented, 239) + "\u2026"},
        {"limit one", "abc", 1, "\u2026"},
        {"empty", "", 240, ""},
        {"no room at all", "abc", 0, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ToolCallPreview::activityPreview(c.text, c.limit), c.expected) << c.what;
}

TEST(ArgsPreview, PicksTheTellingArgument) {
    using Args = std::map<std::string, std::string>;
    struct Case {
        Args args;
        std::string expected;
    };
    const Case cases[] = {
        {{{"path", ""}, {"url", "u"}}, "url: u"},
        {{{"path", "/a"}, {"command", "ls"}}, "command: ls"},
        {{{"b", "2"}, {"a", "1"}}, "a: 1, b: 2"},
        {{{"content", "x"}, {"input", "y"}}, "content: x"},
        {{{"query", "one\ntwo"}}, "query: one two"},
        {{}, "(no arguments)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ToolCallPreview::argsPreview(ProviderToolCall{"1", "t", c.args}), c.expected) << c.expected;

    auto longPreview = ToolCallPreview::argsPreview(ProviderToolCall{"1", "t", {{"command", repeat("z", 500)}}});
    EXPECT_EQ(text::graphemeCount(longPreview), 240u);
    EXPECT_EQ(longPreview, "command: " + repeat("z", 230) + "\u2026");
}
