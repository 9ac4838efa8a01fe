#include <gtest/gtest.h>

#include "ProviderHarness.h"
#include "tests/support/ScopedEnv.h"
#include "VivirovKit/Providers/OpenAIProvider.h"

using namespace vivirov;
using namespace vivirov::test;
using json::Value;

namespace {

Value requestBody(const OpenAIProvider& p, const std::vector<ProviderChatMessage>& messages,
                  const std::vector<ToolSchema>& tools = {}, double temperature = 0.5) {
    return json::parse(p.buildRequest(messages, tools, temperature).body).value();
}

const ToolSchema kReadFile{"read_file", "Read a file", {{"path", "file path", true}, {"limit", "max lines", false}}};

} // namespace

TEST(OpenAIRequest, LocalEndpointSendsThePlaceholderKeyAndTheFixedShape) {
    ScopedEnv env;
    env.set("VIVIROV_VM_NPREDICT", std::nullopt).set("VIVIROV_THINKING", std::nullopt);
    HttpTestServer server;
    OpenAIProvider p("openai", "OpenAI", "gpt-4o", server.baseURL());
    EXPECT_TRUE(p.isReady());
    server.enqueue(ScriptedResponse::sse("data: [DONE]\n\n"));
    runStream(p, userSays("hi"), {}, 0.5);

    RecordedRequest r = server.lastRequest();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/v1/chat/completions");
    EXPECT_EQ(r.header("Authorization"), "Bearer qz-plain");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(bodyOf(r), Value::parse(R"({"model":"gpt-4o","stream":true,"temperature":0.5,
        "messages":[{"role":"user","content":"hi"}],"max_tokens":2048})"));
}

TEST(OpenAIRequest, KeysAndReadiness) {
    ScopedEnv env("OPENAI_BASE_URL", std::nullopt);
    OpenAIProvider cloud("openai", "OpenAI", "gpt-4o");
    EXPECT_EQ(cloud.baseURL(), "https://api.openai.com");
    EXPECT_FALSE(cloud.isReady());
    for (std::optional<std::string> key : {std::optional<std::string>(), std::optional<std::string>("")}) {
        cloud.setApiKey(key);
        try {
            runStream(cloud, userSays("hi"));
            FAIL() << "expected notReady";
        } catch (const LLMProviderError& e) {
            EXPECT_EQ(e.kind(), LLMProviderError::Kind::notReady);
            EXPECT_STREQ(e.what(), "provider not ready: no openai API key");
        }
    }
    cloud.setApiKey("sk-test");
    EXPECT_TRUE(cloud.isReady());
    EXPECT_EQ(cloud.buildRequest(userSays("hi"), {}, 0.1).headers.at(1).second, "Bearer sk-test");

    // The base-URL variable is taken as it is, even when empty.
    env.set("OPENAI_BASE_URL", "http://127.0.0.1:9/");
    EXPECT_EQ(OpenAIProvider("openai", "OpenAI", "m").baseURL(), "http://127.0.0.1:9/");
    EXPECT_EQ(OpenAIProvider("openai", "OpenAI", "m").buildRequest(userSays("x"), {}, 0).url,
              "http://127.0.0.1:9//v1/chat/completions");
    env.set("OPENAI_BASE_URL", "");
    EXPECT_EQ(OpenAIProvider("openai", "OpenAI", "m").baseURL(), "");

    struct Case { const char* base; bool local; };
    const Case cases[] = {{"http://127.0.0.1:8080", true}, {"http://LocalHost:1234", true},
                          {"https://example.com/localhost/v1", true}, {"http://0.0.0.0:80", true},
                          {"https://api.openai.com", false}, {"http://127.0.0.2:80", false}};
    for (auto c : cases) {
        OpenAIProvider p("x", "X", "m", std::string(c.base));
        EXPECT_EQ(p.isLocalEndpoint(), c.local) << c.base;
        EXPECT_EQ(p.isReady(), c.local) << c.base;
    }
}

TEST(OpenAIRequest, RizeruFamilyGetsThePersonaAndATemperatureCap) {
    const std::string persona = OpenAIProvider::persona();
    auto user = ProviderChatMessage::make(ProviderRole::user, "hi");
    auto system = ProviderChatMessage::make(ProviderRole::system, "A");
    system.toolCallID = "kept";

    OpenAIProvider local("rizeru-local", "R", "m", std::string("http://127.0.0.1:8080"));
    Value body = requestBody(local, {user, system}, {}, 0.7);
    // The first system message moves to the front behind the persona.
    EXPECT_EQ(body["messages"], Value::array({{{"role", "system"}, {"content", persona + "\n\nA"}},
                                              {{"role", "user"}, {"content", "hi"}}}));
    EXPECT_EQ(body["temperature"], 0.35);
    EXPECT_EQ(requestBody(local, {user}, {}, 0.2)["messages"],
              Value::array({{{"role", "system"}, {"content", persona}}, {{"role", "user"}, {"content", "hi"}}}));
    EXPECT_EQ(requestBody(local, {user}, {}, 0.2)["temperature"], 0.2);

    EXPECT_EQ(requestBody(OpenAIProvider("rizeru-rozazu", "R", "m", std::string("http://h"), "k"), {user}, {}, 0.9)["temperature"],
              0.35);
    Value other = requestBody(OpenAIProvider("Rizeru-local", "R", "m", std::string("http://127.0.0.1:1")), {user}, {}, 0.7);
    EXPECT_EQ(other["temperature"], 0.7);
    EXPECT_EQ(other["messages"].size(), 1u);

    // The persona: twelve lines, no line feed after the last, em dashes kept.
    EXPECT_EQ(std::count(persona.begin(), persona.end(), '\n'), 11);
    EXPECT_NE(persona.back(), '\n');
    EXPECT_EQ(persona.rfind("You are Vivirov Vizivurad \xE2\x80\x94 Dudive's proprietary local AI agent", 0), 0u);
    EXPECT_NE(persona.find("\n1. Answer the user DIRECTLY. Never narrate planning, steps, or \"thinking process\".\n"),
              std::string::npos);
    EXPECT_NE(persona.find("\n8. Never invent SKU prices or inventory \xE2\x80\x94 use tools or say you don't have live data."),
              std::string::npos);
}

TEST(OpenAIRequest, LocalSamplingKeysByProvider) {
    ScopedEnv env("VIVIROV_THINKING", std::nullopt);
    const Value sampling = Value::parse(R"({"chat_template_kwargs":{"enable_thinking":false,"preserve_thinking":false},
        "stop":["### User:","### Input:","\nUser:","\nHuman:"],"top_p":0.9,"top_k":30,"min_p":0.05,
        "repeat_penalty":1.08,"cache_prompt":true})");
    struct Case { const char* id; bool sampling; };
    const Case cases[] = {{"openai-compat", true}, {"gemma-3", true}, {"rizeru-local", true}, {"rizeru-x", true},
                          {"openai", false}, {"grok", false}, {"Gemma", false}};
    for (auto c : cases) {
        Value body = requestBody(OpenAIProvider(c.id, "X", "m", std::string("https://cloud.example"), "k"), userSays("hi"));
        for (auto it = sampling.begin(); it != sampling.end(); ++it) {
            if (c.sampling) EXPECT_EQ(body[it.key()], it.value()) << c.id << " " << it.key();
            else EXPECT_FALSE(body.contains(it.key())) << c.id << " " << it.key();
        }
        EXPECT_TRUE(body["top_k"].is_number_integer() || !c.sampling);
    }
    OpenAIProvider compat("openai-compat", "C", "m", std::string("https://cloud.example"), "k");
    env.set("VIVIROV_THINKING", "1");
    EXPECT_EQ(requestBody(compat, userSays("x"))["chat_template_kwargs"]["enable_thinking"], true);
    env.set("VIVIROV_THINKING", "true"); // only "1" switches thinking on here
    EXPECT_EQ(requestBody(compat, userSays("x"))["chat_template_kwargs"]["enable_thinking"], false);
}

TEST(OpenAIRequest, TokenLimitFromTheEnvironment) {
    struct Case { std::optional<std::string> value; int withTools, withoutTools; };
    const Case cases[] = {{std::nullopt, 4096, 2048}, {"300", 300, 300}, {"+300", 300, 300},
                          {"100", 256, 256},          {"10000", 8192, 8192}, {"0", 4096, 2048},
                          {"-5", 4096, 2048},         {" 300", 4096, 2048}, {"abc", 4096, 2048},
                          {"", 4096, 2048}};
    OpenAIProvider p("openai", "OpenAI", "m", std::string("http://127.0.0.1:1"));
    for (const auto& c : cases) {
        ScopedEnv env("VIVIROV_VM_NPREDICT", c.value);
        EXPECT_EQ(requestBody(p, userSays("x"), {kReadFile})["max_tokens"], c.withTools) << c.value.value_or("unset");
        EXPECT_EQ(requestBody(p, userSays("x"))["max_tokens"], c.withoutTools) << c.value.value_or("unset");
    }
}

TEST(OpenAIRequest, MessageAndToolEncoding) {
    auto assistant = ProviderChatMessage::make(ProviderRole::assistant, "");
    EXPECT_EQ(OpenAIProvider::encodeMessage(assistant), Value::parse(R"({"role":"assistant"})"));
    assistant.toolCalls = std::vector<ProviderToolCall>{};
    EXPECT_EQ(OpenAIProvider::encodeMessage(assistant), Value::parse(R"({"role":"assistant"})"));
    assistant.toolCalls = std::vector<ProviderToolCall>{{"c1", "read_file", {{"path", "a.txt"}, {"limit", "3"}}}};
    Value encoded = OpenAIProvider::encodeMessage(assistant);
    EXPECT_FALSE(encoded.contains("content"));
    ASSERT_EQ(encoded["tool_calls"].size(), 1u);
    EXPECT_EQ(encoded["tool_calls"][0]["id"], "c1");
    EXPECT_EQ(encoded["tool_calls"][0]["type"], "function");
    EXPECT_EQ(encoded["tool_calls"][0]["function"]["name"], "read_file");
    // Arguments travel as compact JSON text whose values are all strings.
    EXPECT_EQ(Value::parse(encoded["tool_calls"][0]["function"]["arguments"].get<std::string>()),
              Value::parse(R"({"path":"a.txt","limit":"3"})"));

    auto tool = ProviderChatMessage::make(ProviderRole::tool, "result");
    tool.toolName = "read_file";
    EXPECT_EQ(OpenAIProvider::encodeMessage(tool), Value::parse(R"({"role":"tool","tool_call_id":"","content":"result"})"));
    EXPECT_EQ(OpenAIProvider::encodeMessage(ProviderChatMessage::make(ProviderRole::system, "")),
              Value::parse(R"({"role":"system","content":""})"));

    ToolSchema dup{"t", "d", {{"k", "first", true}, {"k", "second", true}, {"o", "opt", false}}};
    EXPECT_EQ(OpenAIProvider::encodeTool(dup), Value::parse(R"({"type":"function","function":{"name":"t","description":"d",
        "parameters":{"type":"object","properties":{"k":{"type":"string","description":"second"},
        "o":{"type":"string","description":"opt"}},"required":["k","k"]}}})"));
    EXPECT_EQ(OpenAIProvider::encodeTool({"n", "d", {}})["function"]["parameters"],
              Value::parse(R"({"type":"object","properties":{},"required":[]})"));

    OpenAIProvider p("openai", "OpenAI", "m", std::string("http://127.0.0.1:1"));
    Value withTools = requestBody(p, userSays("x"), {kReadFile});
    EXPECT_EQ(withTools["tool_choice"], "auto");
    EXPECT_EQ(withTools["tools"], Value::array({OpenAIProvider::encodeTool(kReadFile)}));
    Value without = requestBody(p, userSays("x"));
    EXPECT_FALSE(without.contains("tools"));
    EXPECT_FALSE(without.contains("tool_choice"));
}
