#include <gtest/gtest.h>

#include "ProviderHarness.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/StderrCapture.h"
#include "VivirovKit/Providers/GeminiProvider.h"

using namespace vivirov;
using namespace vivirov::test;
using json::Value;
using Strings = std::vector<std::string>;

namespace {

std::string chunk(const std::string& parts, const std::string& extra = "") {
    return R"({"candidates":[{"content":{"role":"model","parts":[)" + parts + "]}" + extra + "}]}";
}

} // namespace

TEST(GeminiRequest, UrlHeadersAndBody) {
    HttpTestServer server;
    ScopedEnv env("GEMINI_BASE_URL", server.baseURL());
    GeminiProvider p(std::string(GeminiProvider::kDefaultModel), std::nullopt, "AIza-key_1");
    server.enqueue(ScriptedResponse::sse("data: {}\n\n"));
    auto system = ProviderChatMessage::make(ProviderRole::system, "sys");
    auto user = ProviderChatMessage::make(ProviderRole::user, "hi");
    ToolSchema a{"a", "tool a", {{"p", "path", true}}}, b{"b", "tool b", {}};
    {
        StderrCapture stderrText;
        runStream(p, {system, user, ProviderChatMessage::make(ProviderRole::system, "again")}, {a, b}, 0.3);
        server.enqueue(ScriptedResponse::json(400, R"({"error":{"message":"bad request"}})"));
        try {
            runStream(p, userSays("x"));
        } catch (const LLMProviderError& e) {
            EXPECT_EQ(std::string(e.what()).find("AIza"), std::string::npos);
        }
        EXPECT_EQ(stderrText.text().find("AIza"), std::string::npos); // the key is never logged
    }
    RecordedRequest r = server.requests().front();
    EXPECT_EQ(r.target, "/v1beta/models/gemini-2.0-flash:streamGenerateContent?alt=sse&key=AIza-key_1");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    for (const auto& [name, value] : r.headers) EXPECT_EQ(value.find("AIza"), std::string::npos) << name;
    EXPECT_EQ(bodyOf(r), Value::parse(R"({"contents":[{"role":"user","parts":[{"text":"hi"}]},
        {"role":"user","parts":[{"text":"again"}]}],
        "generationConfig":{"temperature":0.3,"maxOutputTokens":8192},
        "systemInstruction":{"parts":[{"text":"sys"}]},
        "tools":[{"functionDeclarations":[
          {"name":"a","description":"tool a","parameters":{"type":"OBJECT","properties":{"p":{"type":"STRING","description":"path"}},"required":["p"]}},
          {"name":"b","description":"tool b","parameters":{"type":"OBJECT","properties":{},"required":[]}}]}]})"));

    // An empty system text sends no systemInstruction; no tools, no "tools".
    Value bare = Value::parse(p.buildRequest({ProviderChatMessage::make(ProviderRole::system, ""), user}, {}, 0).body);
    EXPECT_FALSE(bare.contains("systemInstruction"));
    EXPECT_FALSE(bare.contains("tools"));
    EXPECT_EQ(bare["contents"].size(), 1u);
}

// A model id or key holding URL syntax must not change the resource asked for.
TEST(GeminiRequest, ModelAndKeyCannotRewriteTheUrl) {
    GeminiProvider p("tuned/x?y#z", std::string("https://h"), "k&alt=json");
    EXPECT_EQ(p.buildRequest(userSays("x"), {}, 0).url,
              "https://h/v1beta/models/tuned%2Fx%3Fy%23z:streamGenerateContent?alt=sse&key=k%26alt%3Djson");
    GeminiProvider plain("gemini-2.0-flash", std::string("https://h"), "AZaz09-_.~");
    EXPECT_EQ(plain.buildRequest(userSays("x"), {}, 0).url,
              "https://h/v1beta/models/gemini-2.0-flash:streamGenerateContent?alt=sse&key=AZaz09-_.~");
}

TEST(GeminiRequest, MessageEncoding) {
    auto assistant = ProviderChatMessage::make(ProviderRole::assistant, "");
    assistant.toolCalls = std::vector<ProviderToolCall>{{"id-not-sent", "read", {{"n", "3"}}}};
    EXPECT_EQ(GeminiProvider::encodeMessage(assistant),
              Value::parse(R"({"role":"model","parts":[{"functionCall":{"name":"read","args":{"n":"3"}}}]})"));
    EXPECT_EQ(GeminiProvider::encodeMessage(ProviderChatMessage::make(ProviderRole::tool, "out")),
              Value::parse(R"({"role":"user","parts":[{"functionResponse":{"name":"tool","response":{"output":"out"}}}]})"));
    auto named = ProviderChatMessage::make(ProviderRole::tool, "out");
    named.toolName = "read";
    EXPECT_EQ(GeminiProvider::encodeMessage(named)["parts"][0]["functionResponse"]["name"], "read");
    EXPECT_EQ(GeminiProvider::encodeMessage(ProviderChatMessage::make(ProviderRole::user, "")),
              Value::parse(R"({"role":"user","parts":[{"text":""}]})"));
}

TEST(GeminiStream, TextCallsUsageAndFinishAtEveryChunking) {
    HttpTestServer server;
    GeminiProvider p("m", server.baseURL(), "k");
    std::string sse =
        "data: " + chunk(R"({"text":"Hel"},{"text":""})") + "\r\n\r\n" +
        "data:" + chunk(R"({"text":"lo"})") + "\r\n\r\n" +
        "data: " + R"({"usageMetadata":{"promptTokenCount":12,"candidatesTokenCount":3}})" + "\r\n\r\n" +
        ": keep-alive\r\n\r\n" +
        "data: " + chunk(R"({"functionCall":{"name":"read_file","args":{"n":3,"all":true,"x":null,"p":"a"}}},)"
                         R"({"functionCall":{"name":"list","args":"oops"}},{"functionCall":{"args":{}}})",
                         R"(,"finishReason":"STOP")") + "\r\n\r\n" +
        "data: " + R"({"candidates":[{"finishReason":"STOP"}]})" + "\r\n\r\n";
    StreamRun run = replayAtRandomChunkings(server, p, sse);
    EXPECT_EQ(run.deltas, (Strings{"text:Hel", "text:lo", "call:read_file-0:read_file:{all=1;n=3;p=a;x=<null>}",
                                   "call:list-1:list:{}"}));
    EXPECT_EQ(run.response.content, "Hello");
    EXPECT_EQ(run.response.stopReason, StopReason::toolUse());
    EXPECT_EQ(run.response.usage, (TokenUsage{12, 3}));
}

TEST(GeminiStream, FinishReasons) {
    HttpTestServer server;
    GeminiProvider p("m", server.baseURL(), "k");
    struct Case { std::string finish; StopReason stop; };
    const Case cases[] = {{"", StopReason::endTurn()},
                          {R"(,"finishReason":"STOP")", StopReason::endTurn()},
                          {R"(,"finishReason":"MAX_TOKENS")", StopReason::length()},
                          {R"(,"finishReason":"SAFETY")", StopReason::contentFilter()},
                          {R"(,"finishReason":"RECITATION")", StopReason::other("RECITATION")}};
    for (const auto& c : cases) {
        server.enqueue(ScriptedResponse::sse("data: " + chunk(R"({"text":"a"})", c.finish) + "\n\n"));
        EXPECT_EQ(runStream(p, userSays("x")).response.stopReason, c.stop) << c.finish;
    }
}
