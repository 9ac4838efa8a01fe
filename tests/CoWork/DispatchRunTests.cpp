#include <gtest/gtest.h>

#include <condition_variable>
#include <future>

#include "VivirovKit/Agentic/SentinelDaemon.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/CoWork/DispatchManager.h"
#include "VivirovVizivurad/CoWork/DispatchRun.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScriptedProvider.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {
namespace {

using Status = Dispatch::Status;

// Streams its pieces but answers with no content, as a provider whose
// answer came only as streamed text.
class StreamOnlyProvider : public ScriptedProvider {
public:
    using ScriptedProvider::ScriptedProvider;
    ProviderResponse stream(const std::vector<ProviderChatMessage>& messages, const std::vector<ToolSchema>& tools,
                            double t, const OnDelta& onDelta, std::stop_token cancel) override {
        auto response = ScriptedProvider::stream(messages, tools, t, onDelta, cancel);
        response.content.clear();
        return response;
    }
};

// Waits on every call until the run is stopped.
class StallingGate final : public AgenticPermissionGate {
public:
    bool approve(const ProviderToolCall&, std::stop_token cancel) override {
        std::mutex mutex;
        std::condition_variable_any never;
        std::unique_lock lock(mutex);
        never.wait(lock, cancel, [] { return false; });
        return false;
    }
};

ProviderToolCall call(std::string id, std::string value) { return {std::move(id), "note", {{"text", std::move(value)}}}; }

// A queue whose runner is the real dispatch run over a scripted provider.
class DispatchRunFixture : public ::testing::Test {
protected:
    DispatchRunFixture() {
        qtApp();
        registry->registerTool({"note", "Take a note", {{"text", "the note", true}}},
                               [](const std::map<std::string, std::string>&) { return std::string("noted"); });
        manager.setRunner([this](const Dispatch& job, std::stop_token stop) {
            DispatchRun::Setup setup;
            setup.provider = provider;
            setup.registry = registry;
            setup.gate = gate;
            setup.manifest.tools = registry->schema();
            setup.maxIterations = 4;
            setup.probes.swapUsedMB = [] { return std::optional<double>(0.0); };
            setup.probes.schedulerYield = [] {};
            DispatchRun::Outlets outlets;
            outlets.manager = [this] { return &manager; };
            outlets.feed = [this](const AgentEvent& e) { events.push_back(e); };
            outlets.accumulate = [this](const std::string& id, const TokenUsage& u) { usage[id] = u; };
            DispatchRun::run(job, std::move(setup), std::move(outlets), stop);
        });
    }

    // Runs one job to its end and returns its entry.
    Dispatch runOne(const std::string& objective = "build it") {
        manager.enqueue(objective);
        const UUID id = manager.dispatches().front().id;
        EXPECT_TRUE(qtWaitUntil([&] { return !manager.find(id)->isActive() && !manager.runningID(); }));
        return *manager.find(id);
    }

    std::shared_ptr<LLMProvider> provider;
    std::shared_ptr<ToolRegistry> registry = std::make_shared<ToolRegistry>();
    std::shared_ptr<AgenticPermissionGate> gate = std::make_shared<AlwaysApproveGate>();
    DispatchManager manager;
    std::vector<AgentEvent> events;
    std::map<std::string, TokenUsage> usage;
};

TEST_F(DispatchRunFixture, OutcomesOfARun) {
    const std::string html = "Here:\n```html\n<p>hi</p>\n```\n";
    const std::string longText(1000, 'x');
    struct Case {
        std::string name;
        std::shared_ptr<LLMProvider> provider;
        Status status;
        std::string activity, summary, fullResponse;
        std::optional<ArtifactKind> artifact;
    };
    ScriptedTurn failing = ScriptedTurn::text("half");
    failing.failure = LLMProviderError::transport("socket closed");
    const std::vector<Case> cases = {
        {"not ready", std::make_shared<ScriptedProvider>(std::vector<ScriptedTurn>{}, false), Status::failed,
         "Engine not ready", "Scripted isn't ready \xE2\x80\x94 boot the local engine or set a key in the Vault.", "",
         std::nullopt},
        {"error", std::make_shared<ScriptedProvider>(std::vector<ScriptedTurn>{failing}), Status::failed, "Failed",
         "", "half", std::nullopt},
        {"completed", std::make_shared<ScriptedProvider>(std::vector<ScriptedTurn>{ScriptedTurn::text(longText)}),
         Status::completed, "Completed", text::graphemePrefix(longText, 320), longText, std::nullopt},
        {"artifact", std::make_shared<ScriptedProvider>(std::vector<ScriptedTurn>{ScriptedTurn::text(html)}),
         Status::completed, "Built HTML", html, html, ArtifactKind::html},
        {"streamed only", std::make_shared<StreamOnlyProvider>(std::vector<ScriptedTurn>{ScriptedTurn::text(html)}),
         Status::completed, "Built HTML", html, html, ArtifactKind::html},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        provider = c.provider;
        StderrCapture err;
        const Dispatch job = runOne();
        EXPECT_EQ(job.status, c.status);
        EXPECT_EQ(job.activity, c.activity);
        if (c.name == "error") EXPECT_TRUE(job.summary.starts_with("error: ")) << job.summary;
        else EXPECT_EQ(job.summary, c.summary);
        EXPECT_EQ(job.fullResponse, c.fullResponse);
        EXPECT_EQ(job.artifact ? std::optional(job.artifact->kind) : std::nullopt, c.artifact);
        EXPECT_TRUE(job.finishedAt.has_value());
        EXPECT_EQ(err.text().find("DISPATCH[") == std::string::npos, c.name == "not ready") << err.text();
    }
}

TEST_F(DispatchRunFixture, ToolCallsCountTheLargerOfStartedAndReportedAndTheLogLineSaysSo) {
    // Two distinct notes and a repeat: two tools start, the loop counts three.
    ScriptedTurn tools = ScriptedTurn::calls({call("a", "one"), call("b", "two"), call("c", "one")});
    ScriptedTurn answer = ScriptedTurn::text("Noted.");
    answer.usage = TokenUsage{7, 3};
    provider = std::make_shared<ScriptedProvider>(std::vector<ScriptedTurn>{tools, answer});
    StderrCapture err;
    Dispatch job = runOne();
    EXPECT_EQ(job.toolCalls, 3);
    EXPECT_EQ(job.iterations, 2);
    EXPECT_EQ(usage.at("scripted"), (TokenUsage{7, 3}));
    EXPECT_EQ(err.text(), "[vivirov] DISPATCH[" + job.id.string().substr(0, 8) +
                              "] end_turn \xC2\xB7 2 iters \xC2\xB7 3 tools \xC2\xB7 artifact=none\n");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), (AgentEvent{AgentEvent::TurnStarted{"Scripted", "Dispatch"}}));

    // A run cancelled while its one started tool waits: counted 1, reported 0.
    gate = std::make_shared<StallingGate>();
    provider = std::make_shared<ScriptedProvider>(std::vector<ScriptedTurn>{ScriptedTurn::calls({call("a", "x")})});
    manager.enqueue("stopped");
    const UUID id = manager.dispatches().front().id;
    ASSERT_TRUE(qtWaitUntil([&] { return manager.find(id)->activity == "Running note"; }))
        << manager.find(id)->activity;
    manager.cancel(id);
    ASSERT_TRUE(qtWaitUntil([&] { return !manager.find(id)->isActive(); }));
    job = *manager.find(id);
    EXPECT_EQ(job.status, Status::cancelled);
    EXPECT_EQ(job.activity, "Cancelled");
    EXPECT_EQ(job.summary, "");
    EXPECT_EQ(job.toolCalls, 1);
}

TEST(DispatchRunLimits, GodModeThenContinuousModeThenEight) {
    EXPECT_EQ(DispatchRun::iterationLimit(true, true), 25);
    EXPECT_EQ(DispatchRun::iterationLimit(true, false), 25);
    EXPECT_EQ(DispatchRun::iterationLimit(false, true), 12);
    EXPECT_EQ(DispatchRun::iterationLimit(false, false), 8);
}

// Runs side by side keep their own watch: the process-wide sentinel sees nothing.
TEST_F(DispatchRunFixture, RunsLeaveTheProcessWideSentinelAlone) {
    const auto before = SentinelDaemon::shared().stats().observations;
    provider = std::make_shared<ScriptedProvider>(
        std::vector<ScriptedTurn>{ScriptedTurn::calls({call("a", "one")}), ScriptedTurn::text("done")});
    auto other = std::make_shared<ScriptedProvider>(
        std::vector<ScriptedTurn>{ScriptedTurn::calls({call("b", "two")}), ScriptedTurn::text("done too")});
    AgenticLoop loop(other, registry, gate, {}, 4, AgenticLoop::defaultPersona, {});
    CapabilityManifest manifest;
    manifest.tools = registry->schema();
    auto side = std::async(std::launch::async, [&] { return loop.run("other", {}, manifest, 0.2); });
    EXPECT_EQ(runOne().status, Status::completed);
    EXPECT_EQ(side.get().finalText, "done too");
    EXPECT_EQ(SentinelDaemon::shared().stats().observations, before);
}

} // namespace
} // namespace vivirov::test
