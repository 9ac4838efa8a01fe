// What every streaming client must do the same way, checked for each of them
// against the loopback server, reached through its base-URL variable.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

#include "ProviderHarness.h"
#include "tests/support/ScopedEnv.h"
#include "VivirovKit/Providers/AnthropicProvider.h"
#include "VivirovKit/Providers/DerovInfinityProvider.h"
#include "VivirovKit/Providers/GeminiProvider.h"
#include "VivirovKit/Providers/OpenAICompatProvider.h"
#include "VivirovKit/Providers/OpenAIProvider.h"
#include "VivirovKit/Providers/RizeruLocalProvider.h"
#include "VivirovKit/Providers/XAIProvider.h"
#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Clock.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using namespace vivirov::test;
using namespace std::chrono_literals;

namespace {

const std::string kFirst = "The quick brown fox jumps over the lazy dog. ";
const std::string kSecond = "Done.";

enum class Protocol { openAI, anthropic, gemini };

struct ClientCase {
    std::string name;
    const char* baseVariable; // null: the base is passed to the constructor
    Protocol protocol;
    std::function<std::unique_ptr<LLMProvider>(const std::string& base)> make;
    std::optional<std::string> missingKeyText; // for clients that need a key even on loopback
};

std::string textEvent(Protocol p, const std::string& text) {
    switch (p) {
    case Protocol::openAI:
        return "data: {\"choices\":[{\"delta\":{\"content\":" + json::dump(text) + "}}]}\n\n";
    case Protocol::anthropic:
        return "event: content_block_delta\ndata: {\"index\":0,\"delta\":{\"type\":\"text_delta\",\"text\":" +
               json::dump(text) + "}}\n\n";
    case Protocol::gemini:
        return "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":" + json::dump(text) + "}]}}]}\n\n";
    }
    return {};
}

std::string endEvents(Protocol p) {
    switch (p) {
    case Protocol::openAI:
        return "data: {\"choices\":[{\"delta\":{},\"finish_reason\":\"stop\"}],\"usage\":{\"prompt_tokens\":7,"
               "\"completion_tokens\":9}}\n\ndata: [DONE]\n\n";
    case Protocol::anthropic:
        return "event: message_start\ndata: {\"message\":{\"usage\":{\"input_tokens\":7}}}\n\n"
               "event: message_delta\ndata: {\"delta\":{\"stop_reason\":\"end_turn\"},\"usage\":{\"output_tokens\":9}}\n\n";
    case Protocol::gemini:
        return "data: {\"candidates\":[{\"finishReason\":\"STOP\"}],\"usageMetadata\":{\"promptTokenCount\":7,"
               "\"candidatesTokenCount\":9}}\n\n";
    }
    return {};
}

std::string errorBody(Protocol p) {
    switch (p) {
    case Protocol::openAI: return R"({"error":{"message":"slow down","type":"rate_limit"}})";
    case Protocol::anthropic: return R"({"type":"error","error":{"type":"overloaded_error","message":"slow down"}})";
    case Protocol::gemini: return R"({"error":{"code":429,"message":"slow down","status":"RESOURCE_EXHAUSTED"}})";
    }
    return {};
}

std::string joinedText(const std::vector<std::string>& deltas) {
    std::string out;
    for (const auto& d : deltas)
        if (d.rfind("text:", 0) == 0) out += d.substr(5);
    return out;
}

class ProviderClient : public ::testing::TestWithParam<ClientCase> {
protected:
    void SetUp() override {
        env_.set("VIVIROV_THINKING", std::nullopt).set("VIVIROV_VM_NPREDICT", std::nullopt);
        if (GetParam().baseVariable) env_.set(GetParam().baseVariable, server_.baseURL());
        provider_ = GetParam().make(server_.baseURL());
    }
    Protocol protocol() const { return GetParam().protocol; }
    std::string fullStream() const {
        return textEvent(protocol(), kFirst) + textEvent(protocol(), kSecond) + endEvents(protocol());
    }

    ScopedEnv env_;
    HttpTestServer server_;
    std::unique_ptr<LLMProvider> provider_;
};

} // namespace

TEST_P(ProviderClient, StreamsTextAtEveryChunking) {
    StreamRun run = replayAtRandomChunkings(server_, *provider_, fullStream());
    EXPECT_EQ(joinedText(run.deltas), kFirst + kSecond);
    EXPECT_EQ(run.response.content, kFirst + kSecond);
    EXPECT_EQ(run.response.stopReason, StopReason::endTurn());
    EXPECT_EQ(run.response.usage, (TokenUsage{7, 9}));
    EXPECT_TRUE(run.response.toolCalls.empty());
}

TEST_P(ProviderClient, HttpErrorIsReportedOnceWithoutRetry) {
    server_.enqueue(ScriptedResponse::json(429, errorBody(protocol())));
    try {
        runStream(*provider_, userSays("hi"));
        FAIL() << "expected an http error";
    } catch (const LLMProviderError& e) {
        EXPECT_STREQ(e.what(), "http 429: slow down");
    }
    EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_P(ProviderClient, LongErrorBodyIsReadOnlyToTheLimit) {
    // More than the limit, then silence: reading on would hang.
    server_.enqueue(ScriptedResponse::text(403, std::string(10000, 'x')).splitEvery(2000).stallAfter(6000));
    try {
        runStream(*provider_, userSays("hi"));
        FAIL();
    } catch (const LLMProviderError& e) {
        EXPECT_EQ(e.status(), 403);
        EXPECT_EQ(e.message(), std::string(300, 'x'));
    }
}

TEST_P(ProviderClient, BodyCutOffMidEventFailsAfterDeliveringWhatArrived) {
    const std::string first = textEvent(protocol(), kFirst);
    server_.enqueue(ScriptedResponse::sse(fullStream()).splitAt({first.size()}, 5ms).closeAfter(first.size() + 12));
    std::vector<std::string> deltas;
    EXPECT_THROW(provider_->stream(userSays("hi"), {}, 0.5, [&](const StreamDelta& d) { deltas.push_back(describe(d)); }),
                 TransportError);
    EXPECT_FALSE(deltas.empty());
    EXPECT_EQ(kFirst.rfind(joinedText(deltas), 0), 0u);
    EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_P(ProviderClient, ServerThatNeverAnswersTimesOut) {
    FakeClockScope fake;
    server_.enqueue(ScriptedResponse::neverAnswer());
    auto call = std::async(std::launch::async, [&] { runStream(*provider_, userSays("hi")); });
    EXPECT_TRUE(server_.waitForRequests(1));
    // The client may still note the end of its upload as activity after the
    // server has the request, so keep time moving until the call gives up.
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        fake.clock.advance(61'000'000'000ull);
        ended = call.wait_for(50ms) == std::future_status::ready;
    }
    ASSERT_TRUE(ended);
    try {
        call.get();
        FAIL();
    } catch (const TransportError& e) {
        EXPECT_EQ(e.code(), TransportError::Code::timedOut);
    }
}

TEST_P(ProviderClient, CancelFromAnotherThreadEndsTheCallAndDropsTheConnection) {
    const std::string first = textEvent(protocol(), kFirst);
    server_.enqueue(ScriptedResponse::sse(fullStream()).stallAfter(first.size()));
    std::stop_source stop;
    std::atomic<bool> delivered{false};
    auto call = std::async(std::launch::async, [&] {
        provider_->stream(userSays("hi"), {}, 0.5, [&](const StreamDelta&) { delivered = true; }, stop.get_token());
    });
    ASSERT_TRUE(waitUntil([&] { return delivered.load(); }));
    stop.request_stop();
    ASSERT_EQ(call.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(call.get(), CancellationError);
    EXPECT_TRUE(server_.waitForClientCloses(1));
}

TEST_P(ProviderClient, MissingKeyFailsBeforeAnyConnectionUnlessTheEndpointIsLocal) {
    provider_->setApiKey(std::nullopt);
    if (!GetParam().missingKeyText) {
        // OpenAI-style clients on loopback need no key: a placeholder is sent.
        // (The local server slot's readiness is its health probe's, tested on its own.)
        if (GetParam().name != "RizeruLocal") {
            EXPECT_TRUE(provider_->isReady());
        }
        server_.enqueue(ScriptedResponse::sse(fullStream()));
        EXPECT_EQ(runStream(*provider_, userSays("hi")).response.content, kFirst + kSecond);
        EXPECT_EQ(server_.lastRequest().header("Authorization").value_or("").rfind("Bearer ", 0), 0u);
        return;
    }
    EXPECT_FALSE(provider_->isReady());
    try {
        runStream(*provider_, userSays("hi"));
        FAIL();
    } catch (const LLMProviderError& e) {
        EXPECT_EQ(e.kind(), LLMProviderError::Kind::notReady);
        EXPECT_EQ(e.what(), "provider not ready: " + *GetParam().missingKeyText);
    }
    EXPECT_EQ(server_.acceptedConnections(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryClient, ProviderClient,
    ::testing::Values(
        ClientCase{"OpenAI", "OPENAI_BASE_URL", Protocol::openAI,
                   [](const std::string&) { return std::make_unique<OpenAIProvider>("openai", "OpenAI", "gpt-4o"); },
                   std::nullopt},
        ClientCase{"XAI", "XAI_BASE_URL", Protocol::openAI,
                   [](const std::string&) { return std::make_unique<XAIProvider>("grok-3", "xai-key"); }, std::nullopt},
        ClientCase{"RizeruLocal", "VIVIROV_RIZERU_BASE_URL", Protocol::openAI,
                   [](const std::string&) { return std::make_unique<RizeruLocalProvider>(std::nullopt, "m"); },
                   std::nullopt},
        ClientCase{"DerovInfinity", "VIVIROV_DEROV_BASE_URL", Protocol::openAI,
                   [](const std::string&) { return std::make_unique<DerovInfinityProvider>(std::nullopt, "m"); },
                   std::nullopt},
        ClientCase{"Compat", nullptr, Protocol::openAI,
                   [](const std::string& base) {
                       return std::make_unique<OpenAICompatProvider>(base + "/v1", "openai-compat", "Compat", "m",
                                                                     std::nullopt);
                   },
                   std::nullopt},
        ClientCase{"Anthropic", "ANTHROPIC_BASE_URL", Protocol::anthropic,
                   [](const std::string&) {
                       return std::make_unique<AnthropicProvider>("claude", std::nullopt, "sk-ant");
                   },
                   "no Anthropic API key"},
        ClientCase{"Gemini", "GEMINI_BASE_URL", Protocol::gemini,
                   [](const std::string&) { return std::make_unique<GeminiProvider>("gemini", std::nullopt, "g-key"); },
                   "no Gemini API key"}),
    [](const ::testing::TestParamInfo<ClientCase>& info) { return info.param.name; });

TEST(ProviderClients, CloudClientsWithoutAKeyAreNotReady) {
    ScopedEnv env;
    env.set("XAI_BASE_URL", std::nullopt).set("OPENAI_BASE_URL", std::nullopt);
    XAIProvider grok("grok-3", std::nullopt);
    OpenAIProvider openai("openai", "OpenAI", "gpt-4o");
    for (LLMProvider* p : std::initializer_list<LLMProvider*>{&grok, &openai}) {
        try {
            runStream(*p, userSays("hi"));
            FAIL();
        } catch (const LLMProviderError& e) {
            EXPECT_EQ(e.what(), "provider not ready: no " + p->id() + " API key");
        }
    }
}

// Calls share nothing but the instance's key and model: several at once on
// one provider each get their own answer, while the key changes under them.
TEST(ProviderClients, OneInstanceServesConcurrentCalls) {
    HttpTestServer server;
    server.setHandler([](const RecordedRequest& r) {
        std::string asked = bodyOf(r)["messages"][0]["content"].get<std::string>();
        std::string text = "the answer to " + asked + " is long enough to be released in pieces";
        return ScriptedResponse::sse(dataEvents({"{\"choices\":[{\"delta\":{\"content\":" + json::dump(text) + "}}]}"}) +
                                     "data: [DONE]\n\n")
            .splitEvery(9, 1ms);
    });
    OpenAIProvider p("openai", "OpenAI", "m", server.baseURL(), "k0");
    std::vector<std::future<std::string>> calls;
    for (int i = 0; i < 6; ++i)
        calls.push_back(std::async(std::launch::async, [&p, i] {
            return runStream(p, userSays("question " + std::to_string(i))).response.content;
        }));
    for (int i = 0; i < 20; ++i) p.setApiKey("k" + std::to_string(i));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(calls[i].get(), "the answer to question " + std::to_string(i) + " is long enough to be released in pieces");
    EXPECT_EQ(server.requestCount(), 6u);
}
