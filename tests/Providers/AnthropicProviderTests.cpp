#include <gtest/gtest.h>

#include "ProviderHarness.h"
#include "tests/support/ScopedEnv.h"
#include "VivirovKit/Providers/AnthropicProvider.h"
#include "VivirovKit/Providers/AnthropicStreamDecoder.h"
#include "VivirovKit/Providers/LineSplitter.h"

using namespace vivirov;
using namespace vivirov::test;
using json::Value;
using Strings = std::vector<std::string>;

namespace {

std::string event(const std::string& type, const std::string& data) {
    return "event: " + type + "\ndata: " + data + "\n\n";
}

const std::string kWorkedStream =
    event("message_start", R"({"type":"message_start","message":{"id":"m","usage":{"input_tokens":25,"output_tokens":1}}})") +
    event("content_block_start", R"({"type":"content_block_start","index":0,"content_block":{"type":"text","text":""}})") +
    event("ping", R"({"type":"ping"})") +
    event("content_block_delta", R"({"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":"Hel"}})") +
    event("content_block_delta", R"({"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":"lo"}})") +
    event("content_block_stop", R"({"type":"content_block_stop","index":0})") +
    event("content_block_start",
          R"({"type":"content_block_start","index":1,"content_block":{"type":"tool_use","id":"toolu_1","name":"read_file","input":{}}})") +
    event("content_block_delta",
          R"({"type":"content_block_delta","index":1,"delta":{"type":"input_json_delta","partial_json":"{\"path\": \"a"}})") +
    event("content_block_delta",
          R"({"type":"content_block_delta","index":1,"delta":{"type":"input_json_delta","partial_json":".txt\"}"}})") +
    event("content_block_stop", R"({"type":"content_block_stop","index":1})") +
    event("message_delta", R"({"type":"message_delta","delta":{"stop_reason":"tool_use"},"usage":{"output_tokens":40}})") +
    event("message_stop", R"({"type":"message_stop"})");

// Runs a body through the real line splitter and decoder, whole and cut into
// random reads; every cutting must give the same deltas and response.
StreamRun decode(const std::string& body) {
    auto once = [&](const std::vector<size_t>& cuts) {
        StreamRun run;
        AnthropicStreamDecoder decoder([&](const StreamDelta& d) { run.deltas.push_back(describe(d)); });
        LineSplitter lines;
        auto feed = [&](std::string_view l) { return decoder.consumeLine(l); };
        size_t from = 0;
        for (size_t cut : cuts) {
            lines.push(std::string_view(body).substr(from, cut - from), feed);
            from = cut;
        }
        lines.push(std::string_view(body).substr(from), feed);
        lines.finish(feed);
        run.response = decoder.finish();
        return run;
    };
    StreamRun whole = once({});
    std::mt19937 rng(11);
    for (int round = 0; round < 5; ++round) {
        std::vector<size_t> cuts;
        for (size_t i = 1; i < body.size(); ++i)
            if (rng() % 7 == 0) cuts.push_back(i);
        StreamRun cutUp = once(cuts);
        EXPECT_EQ(cutUp.deltas, whole.deltas);
        EXPECT_EQ(cutUp.response.stopReason, whole.response.stopReason);
        EXPECT_EQ(cutUp.response.usage, whole.response.usage);
    }
    return whole;
}

std::string toolBlock(int index, const std::string& startExtra, const Strings& fragments) {
    std::string out = event("content_block_start", R"({"index":)" + std::to_string(index) +
                                                       R"(,"content_block":{"type":"tool_use")" + startExtra + "}}");
    for (const auto& f : fragments)
        out += event("content_block_delta", R"({"index":)" + std::to_string(index) +
                                                R"(,"delta":{"type":"input_json_delta","partial_json":)" + json::dump(f) +
                                                "}}");
    return out + event("content_block_stop", R"({"index":)" + std::to_string(index) + "}");
}

} // namespace

TEST(AnthropicRequest, HeadersUrlAndBody) {
    HttpTestServer server;
    ScopedEnv env("ANTHROPIC_BASE_URL", server.baseURL());
    AnthropicProvider p(std::string(AnthropicProvider::kDefaultModel), std::nullopt, "sk-ant");
    EXPECT_EQ(p.baseURL(), server.baseURL());
    server.enqueue(ScriptedResponse::sse(event("message_stop", "{}")));
    auto first = ProviderChatMessage::make(ProviderRole::system, "be brief");
    auto user = ProviderChatMessage::make(ProviderRole::user, "hi");
    auto second = ProviderChatMessage::make(ProviderRole::system, "later");
    runStream(p, {first, user, second}, {}, 0.25);

    RecordedRequest r = server.lastRequest();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/v1/messages");
    EXPECT_EQ(r.header("x-api-key"), "sk-ant");
    EXPECT_EQ(r.header("anthropic-version"), "2023-06-01");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_FALSE(r.header("Authorization"));
    EXPECT_EQ(bodyOf(r), Value::parse(R"({"model":"claude-sonnet-4-5-20250929","max_tokens":4096,"temperature":0.25,
        "stream":true,"system":"be brief","messages":[
        {"role":"user","content":[{"type":"text","text":"hi"}]},
        {"role":"user","content":[{"type":"text","text":"later"}]}]})"));

    // No system message: "system" is still sent, empty.
    EXPECT_EQ(Value::parse(p.buildRequest({user}, {}, 0).body)["system"], "");
    EXPECT_EQ(AnthropicProvider("m", std::string("https://h/")).baseURL(), "https://h/");
    AnthropicProvider slash("m", std::string("https://h/"), "k");
    EXPECT_EQ(slash.buildRequest({user}, {}, 0).url, "https://h//v1/messages");
}

TEST(AnthropicRequest, MessageAndToolEncoding) {
    auto assistant = ProviderChatMessage::make(ProviderRole::assistant, "");
    assistant.toolCalls = std::vector<ProviderToolCall>{{"t1", "read", {{"n", "3"}}}, {"t2", "list", {}}};
    EXPECT_EQ(AnthropicProvider::encodeMessage(assistant), Value::parse(R"({"role":"assistant","content":[
        {"type":"tool_use","id":"t1","name":"read","input":{"n":"3"}},
        {"type":"tool_use","id":"t2","name":"list","input":{}}]})"));
    EXPECT_EQ(AnthropicProvider::encodeMessage(ProviderChatMessage::make(ProviderRole::assistant, "")),
              Value::parse(R"({"role":"assistant","content":[]})"));
    EXPECT_EQ(AnthropicProvider::encodeMessage(ProviderChatMessage::make(ProviderRole::tool, "out")),
              Value::parse(R"({"role":"user","content":[{"type":"tool_result","tool_use_id":"","content":"out"}]})"));
    EXPECT_EQ(AnthropicProvider::encodeTool({"ls", "list", {}}),
              Value::parse(R"({"name":"ls","description":"list","input_schema":{"type":"object","properties":{},"required":[]}})"));
    EXPECT_EQ(AnthropicProvider::encodeTool({"t", "d", {{"k", "a", true}, {"k", "b", false}, {"z", "c", true}}})["input_schema"],
              Value::parse(R"({"type":"object","properties":{"k":{"type":"string","description":"b"},
                  "z":{"type":"string","description":"c"}},"required":["k","z"]})"));

    AnthropicProvider p("m", std::string("https://h"), "k");
    auto user = ProviderChatMessage::make(ProviderRole::user, "x");
    EXPECT_FALSE(Value::parse(p.buildRequest({user}, {}, 0).body).contains("tools"));
    EXPECT_EQ(Value::parse(p.buildRequest({user}, {{"ls", "list", {}}}, 0).body)["tools"].size(), 1u);
}

TEST(AnthropicStream, WorkedStreamAtEveryChunking) {
    HttpTestServer server;
    AnthropicProvider p("m", server.baseURL(), "k");
    StreamRun run = replayAtRandomChunkings(server, p, kWorkedStream);
    EXPECT_EQ(run.deltas, (Strings{"text:Hel", "text:lo", "call:toolu_1:read_file:{path=a.txt}"}));
    EXPECT_EQ(run.response.content, "Hello");
    EXPECT_EQ(run.response.stopReason, StopReason::toolUse());
    EXPECT_EQ(run.response.usage, (TokenUsage{25, 40}));
    ASSERT_EQ(run.response.toolCalls.size(), 1u);
}

TEST(AnthropicStream, EventFramingAndBlocks) {
    struct Case { std::string name, body; Strings deltas; StopReason stop; TokenUsage usage; };
    const std::string text = event("content_block_start", R"({"index":0,"content_block":{"type":"text"}})");
    const Case cases[] = {
        {"values flatten", toolBlock(0, R"(,"id":"a","name":"t")", {"{\"n\":3,\"b\":true,", "\"z\":null}"}),
         {"call:a:t:{b=1;n=3;z=<null>}"}, StopReason::endTurn(), {0, 0}},
        {"no fragment gives an empty map", toolBlock(0, R"(,"id":"a","name":"t")", {}), {"call:a:t:{}"},
         StopReason::endTurn(), {0, 0}},
        {"no id, no call", toolBlock(0, R"(,"name":"t")", {"{}"}), {}, StopReason::endTurn(), {0, 0}},
        {"json delta on a text block does nothing",
         text + event("content_block_delta", R"({"index":0,"delta":{"type":"input_json_delta","partial_json":"{}"}})") +
             event("content_block_delta", R"({"index":0,"delta":{"type":"thinking_delta","thinking":"hm"}})") +
             event("content_block_delta", R"({"index":0,"delta":{"type":"text_delta","text":""}})"),
         {"text:"}, StopReason::endTurn(), {0, 0}},
        {"event name needs the blank",
         "event:content_block_delta\ndata: {\"index\":0,\"delta\":{\"type\":\"text_delta\",\"text\":\"x\"}}\n\n", {},
         StopReason::endTurn(), {0, 0}},
        {"data lines join, with or without the blank",
         "event: content_block_delta\ndata:{\"index\":0,\ndata: \"delta\":{\"type\":\"text_delta\",\"text\":\"y\"}}\n\n",
         {"text:y"}, StopReason::endTurn(), {0, 0}},
        {"an unclosed event at the end is dropped",
         "event: content_block_delta\ndata: {\"index\":0,\"delta\":{\"type\":\"text_delta\",\"text\":\"z\"}}\n", {},
         StopReason::endTurn(), {0, 0}},
        {"output tokens 0 keeps the count; a non-string reason is ignored whole",
         event("message_delta", R"({"delta":{"stop_reason":"max_tokens"},"usage":{"output_tokens":7}})") +
             event("message_delta", R"({"delta":{"stop_reason":"end_turn"},"usage":{"output_tokens":0}})") +
             event("message_delta", R"({"delta":{"stop_reason":null},"usage":{"output_tokens":99}})"),
         {}, StopReason::endTurn(), {0, 7}},
        {"stop_sequence", event("message_delta", R"({"delta":{"stop_reason":"stop_sequence"}})"), {},
         StopReason::endTurn(), {0, 0}},
        {"refusal", event("message_delta", R"({"delta":{"stop_reason":"refusal"}})"), {}, StopReason::other("refusal"),
         {0, 0}},
        {"max_tokens", event("message_delta", R"({"delta":{"stop_reason":"max_tokens"}})"), {}, StopReason::length(),
         {0, 0}},
        {"calls without message_delta stay endTurn", toolBlock(3, R"(,"id":"a","name":"t")", {}), {"call:a:t:{}"},
         StopReason::endTurn(), {0, 0}},
        {"bad data is skipped", event("content_block_delta", "not json") + event("message_start", "[1]"), {},
         StopReason::endTurn(), {0, 0}},
    };
    for (const auto& c : cases) {
        StreamRun run = decode(c.body);
        EXPECT_EQ(run.deltas, c.deltas) << c.name;
        EXPECT_EQ(run.response.stopReason, c.stop) << c.name;
        EXPECT_EQ(run.response.usage, c.usage) << c.name;
    }
}

// An error event means the stream broke off; what arrived stays delivered,
// but the call fails instead of passing the fragment off as a full answer.
TEST(AnthropicStream, ErrorEventFailsTheCall) {
    HttpTestServer server;
    AnthropicProvider p("m", server.baseURL(), "k");
    server.enqueue(ScriptedResponse::sse(
        event("content_block_delta", R"({"index":0,"delta":{"type":"text_delta","text":"partial"}})") +
        event("error", R"({"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})") +
        event("message_delta", R"({"delta":{"stop_reason":"end_turn"}})")));
    Strings deltas;
    try {
        p.stream(userSays("hi"), {}, 0, [&](const StreamDelta& d) { deltas.push_back(describe(d)); });
        FAIL() << "expected the error event to fail the call";
    } catch (const LLMProviderError& e) {
        EXPECT_EQ(e.kind(), LLMProviderError::Kind::transport);
        EXPECT_STREQ(e.what(), "transport error: Overloaded");
    }
    EXPECT_EQ(deltas, (Strings{"text:partial"}));
}
