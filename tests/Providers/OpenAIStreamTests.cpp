#include <gtest/gtest.h>

#include "ProviderHarness.h"
#include "tests/support/ScopedEnv.h"
#include "VivirovKit/Providers/OpenAIProvider.h"
#include "VivirovKit/Providers/OpenAIStreamDecoder.h"

using namespace vivirov;
using namespace vivirov::test;
using Strings = std::vector<std::string>;

namespace {

std::string content(const std::string& text) {
    return R"({"choices":[{"delta":{"content":)" + json::dump(text) + "}}]}";
}
std::string reasoning(const std::string& text) {
    return R"({"choices":[{"delta":{"reasoning_content":)" + json::dump(text) + "}}]}";
}
std::string finish(const std::string& reason) {
    return R"({"choices":[{"delta":{},"finish_reason":")" + reason + R"("}]})";
}
std::string toolFragment(int index, const std::string& fields) {
    return R"({"choices":[{"delta":{"tool_calls":[{"index":)" + std::to_string(index) + (fields.empty() ? "" : ",") +
           fields + "}]}}]}";
}

class OpenAIStream : public ::testing::Test {
protected:
    void SetUp() override { env_.set("VIVIROV_THINKING", std::nullopt).set("VIVIROV_VM_NPREDICT", std::nullopt); }
    OpenAIProvider provider(const char* id = "openai") { return OpenAIProvider(id, "X", "m", server_.baseURL()); }
    StreamRun replay(OpenAIProvider& p, const Strings& payloads, bool done = true) {
        std::string sse = dataEvents(payloads);
        if (done) sse += "data: [DONE]\n\n";
        return replayAtRandomChunkings(server_, p, sse);
    }
    ScopedEnv env_;
    HttpTestServer server_;
};

} // namespace

TEST_F(OpenAIStream, ThinkTagsSplitAcrossChunks) {
    const Strings chunks = {content("Hel"), content("lo <thi"), content("nk>plan</think>World"), finish("stop")};
    auto openai = provider("openai");
    StreamRun run = replay(openai, chunks);
    EXPECT_EQ(run.deltas, (Strings{"text:Hello ", "text:World"}));
    EXPECT_EQ(run.response.content, "<think>\nplan\n</think>\nHello World");
    EXPECT_EQ(run.response.stopReason, StopReason::endTurn());
    EXPECT_EQ(run.response.usage, (TokenUsage{0, 0}));

    auto rizeru = provider("rizeru-local");
    EXPECT_EQ(replay(rizeru, chunks).response.content, "Hello World");
}

TEST_F(OpenAIStream, ReasoningFieldIsSurfacedOnlyWhenThinking) {
    const Strings chunks = {reasoning("plan"), content("Answer")};
    auto openai = provider();
    StreamRun quiet = replay(openai, chunks);
    EXPECT_EQ(quiet.deltas, (Strings{"text:Answer"}));
    EXPECT_EQ(quiet.response.content, "<think>\nplan\n</think>\nAnswer");

    env_.set("VIVIROV_THINKING", "1");
    StreamRun loud = replay(openai, chunks);
    EXPECT_EQ(loud.deltas, (Strings{"reasoning:plan", "text:Answer"}));

    // Only reasoning: the content is the think block alone, or nothing for
    // the Rizeru family with thinking off.
    env_.set("VIVIROV_THINKING", std::nullopt);
    EXPECT_EQ(replay(openai, {reasoning("r")}).response.content, "<think>\nr\n</think>\n");
    auto rizeru = provider("rizeru-local");
    EXPECT_EQ(replay(rizeru, {reasoning("r")}).response.content, "");

    env_.set("VIVIROV_THINKING", "1");
    EXPECT_EQ(replay(rizeru, {content("<think>\n\n</think>\n\n  Answer")}).response.content, "Answer");
}

TEST_F(OpenAIStream, ToolCallsAssembleFromFragments) {
    auto p = provider();
    StreamRun run = replay(
        p, {toolFragment(0, R"("id":"call_a","type":"function","function":{"name":"read_file","arguments":""})"),
            toolFragment(0, R"("function":{"arguments":"{\"path\":"})"),
            toolFragment(1, R"("id":"call_b","function":{"name":"search"})"),
            toolFragment(0, R"("function":{"arguments":"\"a.txt\"}"})"),
            toolFragment(1, R"("function":{"arguments":"{\"q\":\"x\",\"n\":3,"})"),
            toolFragment(1, R"("function":{"arguments":"\"all\":true,\"z\":null}"})"),
            finish("tool_calls"),
            R"({"choices":[],"usage":{"prompt_tokens":99,"completion_tokens":99}})",
            R"({"choices":[{"delta":{}}],"usage":{"prompt_tokens":25,"completion_tokens":40}})"});
    EXPECT_EQ(run.deltas, (Strings{"progress:0:read_file:{\"path\":", "progress:0:read_file:{\"path\":\"a.txt\"}",
                                   "progress:1:search:{\"q\":\"x\",\"n\":3,",
                                   "progress:1:search:{\"q\":\"x\",\"n\":3,\"all\":true,\"z\":null}",
                                   "call:call_a:read_file:{path=a.txt}", "call:call_b:search:{all=1;n=3;q=x;z=<null>}"}));
    EXPECT_EQ(run.response.stopReason, StopReason::toolUse());
    EXPECT_EQ(run.response.toolCalls.size(), 2u);
    EXPECT_EQ(run.response.usage, (TokenUsage{25, 40}));
    EXPECT_EQ(run.response.content, "");
}

TEST_F(OpenAIStream, ToolCallEdgeCases) {
    auto p = provider();
    // No id: call_<index>; no name: no call; indices come back in order;
    // progress before a name is known says "tool".
    StreamRun run = replay(p, {toolFragment(2, R"("function":{"name":"b","arguments":"{}"})"),
                               toolFragment(0, R"("function":{"arguments":"{\"k\":"})"),
                               toolFragment(0, R"("function":{"name":"a","arguments":"1}"})"),
                               toolFragment(1, R"("id":"nameless","function":{"arguments":"{}"})"),
                               R"({"choices":[{"delta":{"tool_calls":[{"function":{"name":"no_index"}},{}]}}]})"});
    EXPECT_EQ(run.deltas, (Strings{"progress:2:b:{}", "progress:0:tool:{\"k\":", "progress:0:a:{\"k\":1}",
                                   "progress:1:tool:{}", "call:call_0:a:{k=1}", "call:call_2:b:{}"}));
    EXPECT_EQ(run.response.stopReason, StopReason::toolUse());

    // Progress carries at most the last 160 characters.
    std::string longArgs = "{\"text\":\"" + std::string(300, 'x') + "\"}";
    StreamRun lengthy = replay(p, {toolFragment(0, R"("function":{"name":"w","arguments":)" + json::dump(longArgs) + "}")});
    EXPECT_EQ(lengthy.deltas.front(), "progress:0:w:" + longArgs.substr(longArgs.size() - 160));
}

// A tool_calls list that yields no call leaves a finished answer a finished
// answer; promoting it to tool use would send the caller looking for calls.
TEST_F(OpenAIStream, NoAssembledCallKeepsTheAnswerFinished) {
    auto p = provider();
    const Strings emptyList = {content("Done."), R"({"choices":[{"delta":{"tool_calls":[]}}]})", finish("stop")};
    EXPECT_EQ(replay(p, emptyList).response.stopReason, StopReason::endTurn());
    const Strings nameless = {toolFragment(0, R"("id":"x","function":{"arguments":"{}"})")};
    StreamRun run = replay(p, nameless);
    EXPECT_TRUE(run.response.toolCalls.empty());
    EXPECT_EQ(run.response.stopReason, StopReason::endTurn());
}

TEST_F(OpenAIStream, FinishReasons) {
    auto p = provider();
    const std::string call = toolFragment(0, R"("id":"c","function":{"name":"t","arguments":"{}"})");
    struct Case { Strings chunks; StopReason expected; };
    const Case cases[] = {
        {{content("a"), finish("stop")}, StopReason::endTurn()},
        {{call, finish("stop")}, StopReason::toolUse()},
        {{call, finish("length")}, StopReason::length()},
        {{content("a"), finish("content_filter")}, StopReason::contentFilter()},
        {{content("a"), finish("refusal")}, StopReason::other("refusal")},
        {{content("a"), finish("length"), finish("stop")}, StopReason::endTurn()}, // the last one wins
        {{content("a"), R"({"choices":[{"delta":{},"finish_reason":null}]})"}, StopReason::endTurn()},
    };
    for (const auto& c : cases) EXPECT_EQ(replay(p, c.chunks).response.stopReason, c.expected);
}

TEST_F(OpenAIStream, OnlyDataLinesCountAndDoneEndsTheReading) {
    auto p = provider();
    // Lines that are not data, not JSON, or without a usable choice are
    // skipped; "[DONE]" without a blank ends the reading, and the server then
    // stalls: a reader that went on would hang.
    std::string sse = "event: chunk\n: comment\n\ndata: not json\n\ndata: [1,2]\n\n"
                      "data: {\"choices\":[\"x\"],\"usage\":{\"prompt_tokens\":5}}\n\n"
                      "data:\t" + content("ok") + "\t\n\ndata:[DONE]\n\n";
    std::string rest = "data: " + content("never") + "\n\n";
    server_.enqueue(ScriptedResponse::sse(sse + rest).stallAfter(sse.size()));
    StreamRun run = runStream(p, userSays("hi"));
    EXPECT_EQ(run.deltas, (Strings{"text:ok"}));
    EXPECT_EQ(run.response.content, "ok");
    EXPECT_EQ(run.response.usage, (TokenUsage{0, 0}));
}

TEST_F(OpenAIStream, HttpErrorCarriesTheServersMessage) {
    auto p = provider();
    server_.enqueue(ScriptedResponse::json(500, R"({"error":{"message":"overloaded","type":"server_error"}})"));
    try {
        runStream(p, userSays("hi"));
        FAIL();
    } catch (const LLMProviderError& e) {
        EXPECT_EQ(e.kind(), LLMProviderError::Kind::http);
        EXPECT_STREQ(e.what(), "http 500: overloaded");
    }
}

TEST(OpenAIStripThinkWrappers, ByThinkingSwitch) {
    struct Case { std::optional<std::string> thinking; std::string in, out; };
    const Case cases[] = {
        {std::nullopt, "<think>\nplan\n</think>\nHello", "Hello"},
        {std::nullopt, "<THINK>a</Think>  b <thinking>c</thinking>d", "b d"},
        {std::nullopt, "x</think>y<think>", "xy"},
        {std::nullopt, "  plain  \n", "plain"},
        {"true", "<think>p</think>q", "q"},
        {"1", "<think>p</think>q", "<think>p</think>q"},
        {"1", "<think>\n \n</think>\n\nAnswer <thinking></thinking>", "Answer"},
    };
    for (const auto& c : cases) {
        ScopedEnv env("VIVIROV_THINKING", c.thinking);
        EXPECT_EQ(OpenAIProvider::stripEmptyThinkWrappers(c.in), c.out) << c.in;
    }
}
