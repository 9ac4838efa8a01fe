#include <gtest/gtest.h>

#include <filesystem>

#include "VivirovKit/Agentic/AgenticLoop.h"
#include "VivirovKit/Agentic/SentinelDaemon.h"
#include "VivirovKit/Providers/OpenAIProvider.h"
#include "VivirovKit/Support/Json.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TempDir.h"

using namespace vivirov;
using test::HttpTestServer;
using test::ScriptedResponse;

namespace {

std::string event(const std::string& json) { return "data: " + json + "\n\n"; }

// A streamed native tool call: the id and name first, the arguments in two fragments.
std::string toolCallStream(const std::string& id, const std::string& name, const std::string& argsJSON) {
    const std::string half1 = argsJSON.substr(0, argsJSON.size() / 2), half2 = argsJSON.substr(argsJSON.size() / 2);
    auto fragment = [](const std::string& s) { return json::dump(json::Value(s)); };
    return event(R"({"choices":[{"delta":{"tool_calls":[{"index":0,"id":")" + id +
                 R"(","type":"function","function":{"name":")" + name + R"(","arguments":""}}]}}]})") +
           event(R"({"choices":[{"delta":{"tool_calls":[{"index":0,"function":{"arguments":)" + fragment(half1) + "}}]}}]}") +
           event(R"({"choices":[{"delta":{"tool_calls":[{"index":0,"function":{"arguments":)" + fragment(half2) + "}}]}}]}") +
           event(R"({"choices":[{"delta":{},"finish_reason":"tool_calls"}]})") + "data: [DONE]\n\n";
}

std::string answerStream(const std::vector<std::string>& pieces) {
    std::string sse;
    for (const auto& p : pieces)
        sse += event(R"({"choices":[{"delta":{"content":)" + json::dump(json::Value(p)) + "}}]}");
    sse += event(R"({"choices":[{"delta":{},"finish_reason":"stop"}],"usage":{"prompt_tokens":50,"completion_tokens":7}})");
    return sse + "data: [DONE]\n\n";
}

class TextSink : public AgenticUISink {
public:
    std::string text;
    std::vector<std::string> results;
    void surfaceText(const std::string& t) override { text += t; }
    void surfaceToolStart(const std::string&) override {}
    void surfaceToolResult(const std::string&, const std::string& r) override { results.push_back(r); }
};

} // namespace

// The whole road: request over HTTP, streamed native tool calls, the real
// registry running real tools, results fed back, and the final answer.
TEST(AgenticLoopEndToEnd, TwoRoundsOfRealToolCallsOverTheOpenAIProtocol) {
    test::TempDir dir;
    const std::string notes = dir.write("notes.txt", "the launch code is 4711");

    HttpTestServer server;
    server.enqueue(ScriptedResponse::sse(toolCallStream("call_a", "read_file", json::dump({{"path", notes}}))).splitEvery(37));
    server.enqueue(ScriptedResponse::sse(toolCallStream("call_b", "word_count", R"({"text":"the launch code is 4711"})")).splitEvery(11));
    server.enqueue(ScriptedResponse::sse(answerStream({"The code ", "is 4711 ", "(5 words)."})).splitEvery(23));

    auto registry = std::make_shared<ToolRegistry>();
    registry->registerTool({"read_file", "Read a file", {{"path", "file path", true}}},
                           [](const std::map<std::string, std::string>& args) {
                               return test::TempDir::read(args.at("path"));
                           });
    registry->registerTool({"word_count", "Count words", {{"text", "the text", true}}},
                           [](const std::map<std::string, std::string>& args) {
                               std::istringstream in(args.at("text"));
                               std::string w;
                               int n = 0;
                               while (in >> w) ++n;
                               return std::to_string(n);
                           });
    CapabilityManifest manifest;
    manifest.tools = registry->schema();
    manifest.description = "You can read files and count words.";

    auto provider = std::make_shared<OpenAIProvider>("openai", "OpenAI", "gpt-4o", server.baseURL(), "sk-test");
    auto sink = std::make_shared<TextSink>();
    SentinelDaemon sentinel;
    AgenticLoop::Probes probes;
    probes.sentinel = &sentinel;
    probes.swapUsedMB = [] { return std::optional<double>(0.0); };
    probes.schedulerYield = [] {};
    AgenticLoop loop(provider, registry, std::make_shared<AlwaysApproveGate>(), sink, 10, AgenticLoop::defaultPersona,
                     {"TASK COMPLETE"}, probes);
    auto result = loop.run("What is the launch code, and how many words is the note?", {}, manifest, 0.2);

    EXPECT_EQ(result.stoppedReason, "end_turn");
    EXPECT_EQ(result.iterations, 3);
    EXPECT_EQ(result.toolCalls, 2);
    EXPECT_EQ(result.finalText, "The code is 4711 (5 words).");
    EXPECT_EQ(result.totalUsage, (TokenUsage{50, 7}));
    EXPECT_EQ(sink->text, "The code is 4711 (5 words).");
    EXPECT_EQ(sink->results, (std::vector<std::string>{"the launch code is 4711", "5"}));

    // Each later request carries the earlier calls and their results in the protocol's own shape.
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].path(), "/v1/chat/completions");
    EXPECT_EQ(requests[0].header("authorization"), "Bearer sk-test");
    auto third = json::parse(requests[2].body);
    ASSERT_TRUE(third);
    const auto& messages = (*third)["messages"];
    ASSERT_GE(messages.size(), 6u);
    const auto& toolAnswer = messages[messages.size() - 1];
    EXPECT_EQ(toolAnswer["role"], "tool");
    EXPECT_EQ(toolAnswer["tool_call_id"], "call_b");
    EXPECT_EQ(toolAnswer["content"], "5");
    const auto& firstCall = messages[messages.size() - 4];
    EXPECT_EQ(firstCall["role"], "assistant");
    EXPECT_EQ(firstCall["tool_calls"][0]["function"]["name"], "read_file");
    EXPECT_EQ(messages[messages.size() - 3]["content"], "the launch code is 4711");
    EXPECT_EQ(server.acceptedConnections(), 1); // rounds reuse the connection
}
