#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "VivirovKit/Agentic/ToolCallInterceptor.h"
#include "VivirovKit/Support/Json.h"

using namespace vivirov;
using Feed = ToolCallInterceptor::Feed;

namespace {

// What a reader of the stream sees: the shown text (every flush and the
// final flushAll, in order) and the calls cut out of it.
struct Seen {
    std::string shown;
    std::vector<std::string> calls;
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& seen, std::ostream* os) {
    *os << "shown \"" << seen.shown << "\", calls [";
    for (const auto& call : seen.calls) *os << call << "; ";
    *os << "]";
}

} // namespace

namespace vivirov {
void PrintTo(const ToolCallInterceptor::Feed& feed, std::ostream* os) {
    *os << "flush \"" << feed.flush << "\", call " << (feed.toolCall ? *feed.toolCall : "none");
}
} // namespace vivirov

namespace {

Seen stream(const std::vector<std::string>& pieces) {
    ToolCallInterceptor interceptor;
    Seen seen;
    for (const auto& piece : pieces) {
        Feed feed = interceptor.feed(piece);
        seen.shown += feed.flush;
        if (feed.toolCall) seen.calls.push_back(*feed.toolCall);
    }
    seen.shown += interceptor.flushAll();
    return seen;
}

// Splits text into pieces of `size` bytes, as a token stream might.
std::vector<std::string> chunks(const std::string& text, size_t size) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size(); i += size) out.push_back(text.substr(i, size));
    return out;
}

const std::string call = R"({"tool":"read_file","args":{"path":"a.txt"}})";

} // namespace

// Each row feeds pieces in order and checks every answer and what stays held.
TEST(ToolCallInterceptor, AnswersEachPiece) {
    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        std::vector<Feed> answers;
        std::string held;
    };
    const Case cases[] = {
        {"prose comes out twelve characters behind",
         {"The quick brown fox", " jumps"},
         {{"The qui", {}}, {"ck bro", {}}},
         "wn fox jumps"},
        {"fewer than thirteen characters stay held", {"twelve chars"}, {{"", {}}}, "twelve chars"},
        {"characters, not bytes, are counted",
         {"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"},
         {{"\u00e9", {}}},
         "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"},
        {"a tag that has just begun is held from its last \"<\"",
         {"Some prose then <a <too"},
         {{"Some prose then <a ", {}}},
         "<too"},
        {"without \"<\" the last backtick cuts", {"Here is code: ``"}, {{"Here is code: `", {}}}, "`"},
        {"a complete envelope with prose around it",
         {"Before <tool_call>" + call + "</tool_call> and after it"},
         {{"Before ", call}},
         " and after it"},
        {"the prose after a call is examined with the next piece",
         {"<tool_call>{}</tool_call>0123456789abcdef", ""},
         {{"", "{}"}, {"0123", {}}},
         "456789abcdef"},
        {"two calls in one piece come out one per feed",
         {"<tool_call>{\"a\":1}</tool_call> x <tool_call>{\"b\":2}</tool_call>", ""},
         {{"", "{\"a\":1}"}, {" x ", "{\"b\":2}"}},
         ""},
        {"calls without closing tags, two in one piece",
         {"<tool_call>{\"a\":1} x <tool_call>{\"b\":2}", ""},
         {{"", "{\"a\":1}"}, {" x ", "{\"b\":2}"}},
         ""},
        {"what may still be the closing tag is held",
         {"<tool_call>{}", " \n</tool", "_c"},
         {{"", "{}"}, {"", {}}, {"", {}}},
         " \n</tool_c"},
        {"a shorthand call with prose around it",
         {"Reading read_file{\"a.txt\"} now"},
         {{"Reading ", call}},
         " now"},
        {"an envelope wins over an earlier shorthand",
         {"web_search{q} <tool_call>{}</tool_call>"},
         {{"web_search{q} ", "{}"}},
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ToolCallInterceptor interceptor;
        for (size_t i = 0; i < c.pieces.size(); ++i) EXPECT_EQ(interceptor.feed(c.pieces[i]), c.answers.at(i)) << i;
        EXPECT_EQ(interceptor.pending, c.held);
        EXPECT_EQ(interceptor.flushAll(), c.held);
        EXPECT_EQ(interceptor.pending, "");
    }
}

TEST(ToolCallInterceptor, CopiesAreIndependent) {
    ToolCallInterceptor a;
    a.feed("held");
    ToolCallInterceptor b = a;
    b.feed(" more");
    EXPECT_EQ(a.flushAll(), "held");
    EXPECT_EQ(b.flushAll(), "held more");
}

// Calls written token by token are cut out whole, and none of their text is
// shown, whatever the piece size. (Holding only a fixed tail would let the
// beginning of a longer call out as prose, and the call would be lost.)
TEST(ToolCallInterceptor, CallsStreamedInPiecesAreCutOut) {
    struct Case {
        const char* what;
        std::string text;
        Seen seen;
    };
    const std::string envelope = "<tool_call>\n" + call + "\n</tool_call>";
    const Case cases[] = {
        {"envelope", "Let me look at that file for you. " + envelope + " Done.",
         {"Let me look at that file for you.  Done.", {call}}},
        {"envelope without its closing tag", "Look: <tool_call>" + call + "\n then more",
         {"Look: \n then more", {call}}},
        {"shorthand with a long name",
         "Starting the swarm now: dispatch_derov_swarm{task: build the index, agents=3} ok",
         {"Starting the swarm now:  ok",
          {R"({"tool":"dispatch_derov_swarm","args":{"task":"build the index","agents":"3"}})"}}},
        {"shorthand with white space before the brace", "Checking the news with web_search   {\"today\"} then",
         {"Checking the news with  then", {R"({"tool":"web_search","args":{"query":"today"}})"}}},
        {"a tool name in prose is shown once the text goes on",
         "You could use read_file or web_search later, or git_clone_repo.",
         {"You could use read_file or web_search later, or git_clone_repo.", {}}},
        {"an envelope that never completes is shown at the end", "Oops <tool_call>{\"tool\": never closed",
         {"Oops <tool_call>{\"tool\": never closed", {}}},
    };
    for (const auto& c : cases) {
        for (size_t size : {1, 2, 3, 5, 8, 13}) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(size));
            EXPECT_EQ(stream(chunks(c.text, size)), c.seen);
        }
    }
}

// Without "<", braces and tool names, the stream passes through unchanged.
TEST(ToolCallInterceptor, PlainProseIsNeverAltered) {
    std::string text = "Plain answer: r\u00e9sum\u00e9 \u2014 caf\u00e9, na\u00efve; e\u0301 \U0001F469\u200D\U0001F4BB done!\n";
    for (size_t size : {1, 2, 4, 7, 64}) {
        ToolCallInterceptor interceptor;
        std::string shown;
        for (const auto& piece : chunks(text, size)) {
            Feed feed = interceptor.feed(piece);
            EXPECT_FALSE(feed.toolCall);
            shown += feed.flush;
        }
        shown += interceptor.flushAll();
        EXPECT_EQ(shown, text) << size;
    }
}

TEST(DetectShorthandToolCall, RebuildsTheCallAsJSON) {
    struct Case {
        const char* what;
        std::string text;
        std::optional<std::string> inner;
    };
    const Case cases[] = {
        {"unnamed argument under the primary key", "read_file{a.txt}", call},
        {"quotes around an unnamed argument are removed", "read_file{ \"a.txt\" }", call},
        {"empty braces give the primary key and an empty text", "web_search{}",
         R"({"tool":"web_search","args":{"query":""}})"},
        {"a tool without a listed key uses input", "list_models{ }", R"({"tool":"list_models","args":{"input":""}})"},
        {"named arguments with \":\" and \"=\"", "write_file{path: b.txt, content = \"x, y\"}",
         R"({"tool":"write_file","args":{"path":"b.txt","content":"x, y"}})"},
        {"a value runs to the next comma, key-like text included", "execute_bash{command: ls -la  dir: /tmp}",
         R"({"tool":"execute_bash","args":{"command":"ls -la  dir: /tmp"}})"},
        {"a repeated key gives two pairs", "web_fetch{url: a, url: b}", R"({"tool":"web_fetch","args":{"url":"a","url":"b"}})"},
        {"a lone quote keeps its quote", "web_fetch{\"}", R"({"tool":"web_fetch","args":{"url":"\""}})"},
        {"the first of two calls", "x git_clone_repo{u} y web_search{q}", R"({"tool":"git_clone_repo","args":{"input":"u"}})"},
        {"after punctuation", "(read_file{a.txt})", call},
        {"inside a longer word", "unread_file{a.txt}", std::nullopt},
        {"after a digit", "2read_file{a.txt}", std::nullopt},
        {"after an accented letter", "e\u0301read_file{a.txt}", std::nullopt},
        {"a brace inside the arguments", "read_file{a{b}}", std::nullopt},
        {"an unknown tool", "search{a}", std::nullopt},
        {"another letter case", "Read_File{a.txt}", std::nullopt},
        {"no braces", "read_file(a.txt)", std::nullopt},
    };
    for (const auto& c : cases) {
        auto found = ToolCallInterceptor::detectShorthandToolCall(c.text);
        EXPECT_EQ(found ? std::optional(found->inner) : std::nullopt, c.inner) << c.what;
    }
    auto split = ToolCallInterceptor::detectShorthandToolCall("say (read_file{a.txt}) ok");
    ASSERT_TRUE(split);
    EXPECT_EQ(split->prefix, "say (");
    EXPECT_EQ(split->suffix, ") ok");
}

TEST(DetectShorthandToolCall, EscapesTextForJSON) {
    struct Case {
        std::string value;   // the argument as written
        std::string escaped; // as it appears in the JSON text
    };
    const Case cases[] = {
        {"a\tb", R"(a\tb)"},
        {"a\nb", R"(a\nb)"},
        {"a\rb", R"(a\rb)"},
        {"say \"hi\" now", R"(say \"hi\" now)"},
        {"C:\\dir", R"(C:\\dir)"},
        {"bell\x07" "esc\x1b", R"(bell\u0007esc\u001b)"},
        {"a/b \u00e9 \U0001F600 \x7f", "a/b \u00e9 \U0001F600 \x7f"},
    };
    for (const auto& c : cases) {
        auto found = ToolCallInterceptor::detectShorthandToolCall("create_task{note: " + c.value + "}");
        ASSERT_TRUE(found) << c.escaped;
        EXPECT_EQ(found->inner, R"({"tool":"create_task","args":{"note":")" + c.escaped + "\"}}");
        // Leading and trailing white space aside, the value survives a JSON round trip.
        auto parsed = json::parse(found->inner);
        ASSERT_TRUE(parsed) << found->inner;
        EXPECT_EQ((*parsed)["args"]["note"], c.value);
    }
}

TEST(ToolCallInterceptor, PrimaryArgumentKeys) {
    const std::pair<const char*, const char*> keys[] = {
        {"web_search", "query"}, {"web_fetch", "url"},       {"browser_navigate", "url"}, {"read_file", "path"},
        {"write_file", "path"},  {"execute_bash", "command"}, {"browser_read", "input"},   {"anything", "input"},
    };
    for (const auto& [tool, key] : keys) EXPECT_EQ(ToolCallInterceptor::primaryArgKey(tool), key) << tool;
}
