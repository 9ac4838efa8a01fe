#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "VivirovKit/Agentic/BracketMatcher.h"
#include "VivirovKit/Agentic/GraphemeText.h"
#include "VivirovKit/Agentic/LooseToolCallParser.h"
#include "VivirovKit/Agentic/ShorthandToolCallParser.h"

using namespace vivirov;
using Args = std::map<std::string, std::string>;

namespace {

const std::set<std::string> known = {"execute_bash", "lookup", "read_file", "search",
                                     "web_fetch",    "web_search", "write_file"};

struct Expected {
    std::string id;
    std::string name;
    Args args;
};

void expectCalls(const std::string& text, const std::vector<Expected>& expected) {
    auto calls = LooseToolCallParser::parseLooseToolCalls(text, known);
    ASSERT_EQ(calls.size(), expected.size()) << text;
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].id, expected[i].id) << text;
        EXPECT_EQ(calls[i].name, expected[i].name) << text;
        EXPECT_EQ(calls[i].arguments, expected[i].args) << text;
    }
}

// The scan from each opening character, character by character, as the
// region and shorthand readers define it: the reference for BracketMatcher.
size_t naiveClose(const GraphemeText& text, size_t start, char open, char close) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (size_t k = start; k < text.size(); ++k) {
        char c = text.ascii(k);
        if (escaped) escaped = false;
        else if (c == '\\') escaped = true;
        else if (c == '"') inString = !inString;
        else if (inString) continue;
        else if (c == open) ++depth;
        else if (c == close) {
            if (depth == 1) return k;
            --depth;
        }
    }
    return BracketMatcher::none;
}

} // namespace

TEST(LooseToolCalls, JSONObjects) {
    expectCalls("Here:\n```json\n{\"tool\":\"read_file\",\"args\":{\"path\":\"/tmp/a\"}}\n```",
                {{"loose-0", "read_file", {{"path", "/tmp/a"}}}});
    expectCalls(R"({"tool":"read_file","arguments":{"path":"a","n":2}})",
                {{"loose-0", "read_file", {{"path", "a"}, {"n", "2"}}}});
    // Regions are counted whether or not they are calls.
    expectCalls(R"(note {"x":1} then {"tool":"web_search","args":{"query":"q"}})",
                {{"loose-1", "web_search", {{"query", "q"}}}});
    // A complete object inside an unclosed one is still found.
    expectCalls(R"({ oops {"tool":"read_file","args":{}})", {{"loose-0", "read_file", {}}});

    for (const char* none : {
             R"({"name":"read_file","args":{"path":"a"}})",            // "name" is not accepted here
             R"({"tool":"delete_all","args":{}})",                     // not a known tool
             R"({"tool":"read_file","parameters":{"path":"string"}})", // a description, not a call
             R"({"tool":"read_file","properties":null})",
             R"({"outer":{"tool":"read_file","args":{}}})",            // nested objects are not read alone
             R"({"tool":"read_file",})",                               // not JSON
         })
        expectCalls(none, {});
}

TEST(LooseToolCalls, ShorthandCalls) {
    struct Case {
        const char* text;
        std::optional<Expected> expected;
    };
    const Case cases[] = {
        {"read_file('/tmp/a.txt')", Expected{"short-0", "read_file", {{"path", "/tmp/a.txt"}}}},
        {"read_file(\"/tmp/a.txt\")", Expected{"short-0", "read_file", {{"path", "/tmp/a.txt"}}}},
        {"web_search('news')", Expected{"short-0", "web_search", {{"query", "news"}}}},
        {"lookup('x')", Expected{"short-0", "lookup", {{"input", "x"}}}},
        {"lookup('')", Expected{"short-0", "lookup", {{"input", ""}}}},
        {"web_search(query: 'news', count=3)", Expected{"short-0", "web_search", {{"query", "news"}, {"count", "3"}}}},
        {"web_search(news)", std::nullopt},
        {"execute_bash{\"command\": \"ls -la\"}", Expected{"short-0", "execute_bash", {{"command", "ls -la"}}}},
        {"execute_bash({\"command\":\"ls\",\"timeout\":5})",
         Expected{"short-0", "execute_bash", {{"command", "ls"}, {"timeout", "5"}}}},
        {"read_file( ) and then read_file({}) and read_file('/b')", Expected{"short-0", "read_file", {{"path", "/b"}}}},
        {"read_file(path=/a, mode=r", Expected{"short-0", "read_file", {{"path", "/a"}, {"mode", "r"}}}},
        {"I will call read_file \n ('/a') now", Expected{"short-0", "read_file", {{"path", "/a"}}}},
        {"write_file(\npath: a.txt\ncontent = hi\n)", Expected{"short-0", "write_file", {{"path", "a.txt"}, {"content", "hi"}}}},
        {"web_search(q=a, q=b, =, x=)", Expected{"short-0", "web_search", {{"q", "b"}}}},
        {"web_search(query='it's here', n=1)", Expected{"short-0", "web_search", {{"query", "it's here"}, {"n", "1"}}}},
        {"read_file(\u0301'/a')", std::nullopt}, // a parenthesis with a combining mark is no parenthesis
        {"read_file", std::nullopt},
        {"read_file   ", std::nullopt},
    };
    for (const auto& c : cases)
        expectCalls(c.text, c.expected ? std::vector<Expected>{*c.expected} : std::vector<Expected>{});

    // Many mentions that are not calls do not hide the call that follows them.
    std::string mentions;
    for (int i = 0; i < 5000; ++i) mentions += "read_file (see the notes) and ";
    expectCalls(mentions + "read_file('/a')", {{"short-0", "read_file", {{"path", "/a"}}}});

    // Shorthand is read only when no JSON region is a call.
    expectCalls(R"(read_file('/x') {"tool":"web_search","args":{}})", {{"loose-0", "web_search", {}}});
    // One call per name, in ascending name order.
    expectCalls("web_search('b') read_file('a') read_file('c')",
                {{"short-0", "read_file", {{"path", "a"}}}, {"short-1", "web_search", {{"query", "b"}}}});
}

// Quoted values keep their separators: cutting them would write the wrong
// content into a user's file or fetch the wrong address.
TEST(LooseToolCalls, QuotedShorthandValuesStayWhole) {
    const std::pair<const char*, Args> cases[] = {
        {"write_file(path='a.txt', content='x, y')", {{"path", "a.txt"}, {"content", "x, y"}}},
        {"write_file(path=\"a.txt\", content=\"key: value\nnext = line\")",
         {{"path", "a.txt"}, {"content", "key: value\nnext = line"}}},
        {"web_fetch('https://example.org/a?b=c')", {{"url", "https://example.org/a?b=c"}}},
        {"web_fetch(url=\"https://x.y\")", {{"url", "https://x.y"}}},
        {"write_file(path='a', content='say \\'hi\\', then go')", {{"path", "a"}, {"content", "say \\'hi\\', then go"}}},
    };
    for (const auto& [text, args] : cases) {
        auto calls = LooseToolCallParser::parseLooseToolCalls(text, known);
        ASSERT_EQ(calls.size(), 1u) << text;
        EXPECT_EQ(calls[0].arguments, args) << text;
    }
    // A quoted value that never closes cannot be read safely: no call.
    EXPECT_TRUE(LooseToolCallParser::parseLooseToolCalls("write_file(path='a.txt', content='x, y)", known).empty());
    EXPECT_EQ(ShorthandToolCallParser::shorthandArgs("'a', 'b'", "lookup"), std::nullopt);
}

// A known name inside a longer word is not a call of that tool.
TEST(LooseToolCalls, NamesMatchOnlyAsWholeWords) {
    expectCalls("web_search(query=x)", {{"short-0", "web_search", {{"query", "x"}}}});
    expectCalls("research(topic=x) and unread_file('/a')", {});
    expectCalls("tools.search(q=x)", {{"short-0", "search", {{"q", "x"}}}});
    expectCalls("(search(q=x))", {{"short-0", "search", {{"q", "x"}}}});
}

TEST(BalancedBraceRegions, Table) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"a{b}c{d{e}f}", {"{b}", "{d{e}f}"}},
        {"{ {x} ", {"{x}"}},
        {"{\"}\"}", {"{\"}\"}"}},
        {"{\\}}", {"{\\}}"}}, // a backslash escapes outside strings too
        {"{ \"{\" } {", {"{ \"{\" }"}},
        {"{\u0301}", {}},
        {"no braces", {}},
        {"", {}},
    };
    for (const auto& [text, regions] : cases)
        EXPECT_EQ(LooseToolCallParser::balancedBraceRegions(text), regions) << text;
}

// The one-pass matcher must agree with scanning afresh from every opening
// character, on texts dense in quotes, backslashes and brackets.
TEST(BracketMatcher, AgreesWithTheDirectScan) {
    const std::vector<std::string> alphabet = {"{", "}", "(", ")", "\"", "\\", "a", " ", "{\u0301", "\r\n", "é"};
    std::mt19937 random(20261210);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        size_t length = random() % 40;
        for (size_t i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
        GraphemeText characters(text);
        for (auto [open, close] : {std::pair{'{', '}'}, std::pair{'(', ')'}}) {
            BracketMatcher matcher(characters, open, close);
            for (size_t k = 0; k < characters.size(); ++k) {
                if (characters.ascii(k) != open) continue;
                ASSERT_EQ(matcher.closeOf(k), naiveClose(characters, k, open, close)) << text << " at " << k;
            }
        }
    }
}
