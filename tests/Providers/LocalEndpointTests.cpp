#include <gtest/gtest.h>

#include <future>

#include "ProviderHarness.h"
#include "tests/support/ScopedEnv.h"
#include "VivirovKit/Providers/DerovInfinityProvider.h"
#include "VivirovKit/Providers/OpenAICompatProvider.h"
#include "VivirovKit/Providers/RizeruLocalProvider.h"
#include "VivirovKit/Providers/XAIProvider.h"
#include "VivirovKit/Support/Clock.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using namespace vivirov::test;
using namespace std::chrono_literals;

namespace {

ScriptedResponse health(int status, const std::string& body) { return ScriptedResponse::json(status, body); }

} // namespace

TEST(LocalEndpoints, BaseNormalisation) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {{"  http://h:1/v1/ \n", "http://h:1"},
                          {"http://h:1/v1/v1", "http://h:1/v1"},
                          {"http://h:1//", "http://h:1"},
                          {"http://h:1//v1", "http://h:1/"},
                          {"http://h:1/api", "http://h:1/api"}};
    for (auto c : cases) EXPECT_EQ(RizeruLocalProvider::normalizedBase(c.in), c.out) << c.in;

    ScopedEnv env("VIVIROV_RIZERU_BASE_URL", std::nullopt);
    EXPECT_EQ(RizeruLocalProvider::resolvedBase(), "http://127.0.0.1:8080");
    env.set("VIVIROV_RIZERU_BASE_URL", "http://127.0.0.1:9999/v1/");
    EXPECT_EQ(RizeruLocalProvider::resolvedBase(), "http://127.0.0.1:9999");
    RizeruLocalProvider rizeru(std::nullopt, std::string(RizeruLocalProvider::kDefaultModel));
    EXPECT_EQ(rizeru.serverBase(), "http://127.0.0.1:9999");
    EXPECT_EQ(rizeru.id(), "rizeru-local");
    EXPECT_EQ(rizeru.displayName(), "Vivirov Vizivurad \xC2\xB7 27B");
    EXPECT_FALSE(rizeru.supportsVision());
    EXPECT_EQ(rizeru.model(), "rizeru-qwen3.6-27b");

    env.set("VIVIROV_DEROV_BASE_URL", std::nullopt);
    DerovInfinityProvider derov(std::nullopt, "unsloth/x");
    EXPECT_EQ(derov.baseURL(), "http://127.0.0.1:8766");
    EXPECT_EQ(derov.displayName(), "Derov \xE2\x88\x9E \xC2\xB7 local MLX");
    env.set("VIVIROV_DEROV_BASE_URL", " http://127.0.0.1:7/v1 ");
    EXPECT_EQ(DerovInfinityProvider(std::nullopt, "m").baseURL(), "http://127.0.0.1:7");
    EXPECT_EQ(DerovInfinityProvider(std::string("http://x/v1/"), "m").baseURL(), "http://x");
}

TEST(LocalEndpoints, ReadinessRules) {
    ScopedEnv env("XAI_BASE_URL", std::nullopt);
    // Nothing listens on the Derov port here, yet it is ready.
    EXPECT_TRUE(DerovInfinityProvider(std::string("http://127.0.0.1:1"), "m").isReady());

    XAIProvider grok("grok-3", std::nullopt);
    EXPECT_EQ(grok.id(), "grok");
    EXPECT_EQ(grok.displayName(), "xAI \xC2\xB7 Grok");
    EXPECT_EQ(grok.baseURL(), "https://api.x.ai");
    EXPECT_FALSE(grok.isReady());
    grok.setApiKey("xai-k");
    EXPECT_TRUE(grok.isReady());
    env.set("XAI_BASE_URL", " http://localhost:5/ ");
    XAIProvider local("grok-3", std::nullopt);
    EXPECT_EQ(local.baseURL(), " http://localhost:5/ "); // used verbatim
    EXPECT_TRUE(local.isReady());
}

TEST(LocalEndpoints, CompatBaseWithOrWithoutV1ReachesTheSamePath) {
    HttpTestServer server;
    for (std::string suffix : {"/v1/", "", "/v1"}) {
        OpenAICompatProvider compat(" " + server.baseURL() + suffix, "openai-compat", "Compat", "m", std::nullopt);
        std::string configured = server.baseURL() + (suffix.empty() ? "" : "/v1");
        EXPECT_EQ(compat.configuredBaseURL(), configured);
        server.enqueue(ScriptedResponse::sse("data: [DONE]\n\n"));
        runStream(compat, userSays("hi"));
        EXPECT_EQ(server.lastRequest().target, "/v1/chat/completions") << suffix;
    }
    OpenAICompatProvider cloud("https://api.example.com/v1", "openai-compat", "C", "m", std::string("k"));
    EXPECT_EQ(cloud.buildRequest(userSays("x"), {}, 0).url, "https://api.example.com/v1/chat/completions");
}

TEST(LocalEndpoints, LocalClassesSendTheirPlaceholderKey) {
    HttpTestServer server;
    RizeruLocalProvider rizeru(server.baseURL(), "m");
    server.enqueue(ScriptedResponse::sse("data: [DONE]\n\n"));
    runStream(rizeru, userSays("hi"));
    auto auth = server.lastRequest().header("Authorization").value_or("");
    ASSERT_EQ(auth.size(), 7u + 5u);
    for (char c : auth.substr(7)) EXPECT_TRUE(c >= 'a' && c <= 'z');
    DerovInfinityProvider derov(server.baseURL(), "m");
    server.enqueue(ScriptedResponse::sse("data: [DONE]\n\n"));
    runStream(derov, userSays("hi"));
    EXPECT_EQ(server.lastRequest().header("Authorization"), auth);
}

TEST(HealthProbe, AnswersByStatusAndDocument) {
    HttpTestServer server;
    struct Case { ScriptedResponse answer; bool reachable; };
    const Case cases[] = {
        {health(200, R"({"status":"ok"})"), true},
        {health(200, R"({"status":"loading model"})"), false},
        {ScriptedResponse::text(200, "fine"), true},
        {health(200, "[1,2]"), true},
        {health(200, R"({"slots":1})"), true},
        {health(200, R"({"status":3})"), true},
        {health(200, ""), true},
        {health(503, R"({"status":"ok"})"), false},
    };
    for (const auto& c : cases) {
        server.enqueue(c.answer);
        EXPECT_EQ(RizeruLocalProvider::probeHealth(server.baseURL()), c.reachable) << c.answer.body();
        EXPECT_EQ(server.lastRequest().target, "/health");
        EXPECT_EQ(server.lastRequest().method, "GET");
    }
    int closedPort;
    {
        HttpTestServer gone;
        closedPort = gone.port();
    }
    EXPECT_FALSE(RizeruLocalProvider::probeHealth("http://127.0.0.1:" + std::to_string(closedPort)));
    EXPECT_FALSE(RizeruLocalProvider::probeHealth("not a url"));
    EXPECT_FALSE(RizeruLocalProvider::probeHealthSync("file:///tmp", 1.5));
}

TEST(HealthProbe, BlockingProbeGivesUpAtItsDeadline) {
    FakeClockScope fake;
    HttpTestServer server;
    server.enqueue(ScriptedResponse::neverAnswer());
    auto answer = std::async(std::launch::async, [&] { return RizeruLocalProvider::probeHealthSync(server.baseURL(), 1.5); });
    ASSERT_TRUE(server.waitForRequests(1));
    fake.clock.advance(2'000'000'000ull);
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(answer.get());
    EXPECT_TRUE(server.waitForClientCloses(1)); // the abandoned request is dropped
}

TEST(ReachabilityCache, FirstAnswerIsFalseThenTheBackgroundProbeFillsIt) {
    FakeClockScope fake;
    HttpTestServer server;
    // The first probe finds the server up, the second finds it loading.
    server.enqueue(health(200, R"({"status":"ok"})"));
    server.enqueue(health(200, R"({"status":"loading"})"));
    RizeruLocalProvider p(server.baseURL(), "m");
    EXPECT_FALSE(p.isReady()); // stale cache: answers at once and starts a probe
    ASSERT_TRUE(waitUntil([&] { return p.isReady(); }));
    EXPECT_EQ(server.requestCount(), 1u);

    for (int i = 0; i < 50; ++i) EXPECT_TRUE(p.isReady());
    fake.clock.advance(9'900'000'000ull);
    EXPECT_TRUE(p.isReady());
    std::this_thread::sleep_for(30ms); // a wrongly started probe would show up here
    EXPECT_EQ(server.requestCount(), 1u);

    fake.clock.advance(200'000'000ull); // 10.1 s after the answer
    EXPECT_TRUE(p.isReady());
    // The refresh has stored its answer (and is done with the clock) once it shows.
    ASSERT_TRUE(waitUntil([&] { return !p.isReady(); }));
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST(ReachabilityCache, NotedResultHoldsForTheCacheLifetime) {
    FakeClockScope fake;
    HttpTestServer server;
    server.setHandler([](const RecordedRequest&) { return health(503, "{}"); });
    RizeruLocalProvider p(server.baseURL(), "m");
    p.noteProbeResult(true);
    EXPECT_TRUE(p.isReady());
    EXPECT_TRUE(p.probeReachability(false)); // fresh: no request
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_FALSE(p.probeReachability(true)); // force asks the server
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(ReachabilityCache, ConcurrentProbesSendOneRequest) {
    HttpTestServer server;
    ScriptedResponse slow = health(200, R"({"status":"ok"})");
    slow.chunks.front().delay = 300ms;
    server.enqueue(slow);
    RizeruLocalProvider p(server.baseURL(), "m");
    auto first = std::async(std::launch::async, [&] { return p.probeReachability(false); });
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_FALSE(p.probeReachability(false)); // the running probe is not awaited
    EXPECT_TRUE(first.get());
    EXPECT_EQ(server.requestCount(), 1u);
}
