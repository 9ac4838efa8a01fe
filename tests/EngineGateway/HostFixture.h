#pragma once
// An engine host of its own for each test: its own scheduler, clock timer,
// teardown registry, activity model and yield controller, so nothing leaks
// into the app's shared objects. Engines are real (scaffold, Qwen2 files).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VivirovKit/Scheduler/AgentScheduler.h"
#include "VivirovKit/Support/Clock.h"
#include "VivirovVizivurad/ChatColumn/FrameGovernor.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/EngineHost/ClockTimer.h"
#include "VivirovVizivurad/EngineHost/CognitiveYieldController.h"
#include "VivirovVizivurad/EngineHost/EngineTeardownRegistry.h"
#include "VivirovVizivurad/EngineHost/VMEngineGateway.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "tests/support/DetachedWork.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScopedEnv.h"

namespace vivirov::test {

class HostFixture : public ::testing::Test {
protected:
    using Resolve = std::function<VizivuradEngine::ResolvedModel(const std::optional<std::string>&)>;
    using MakeGateway = std::function<std::shared_ptr<VMEngineGateway>(const std::string&)>;

    void SetUp() override {
        qtApp();
        // No headless gate of the environment decides for these tests.
        for (const char* gate : {"VIVIROV_FORCE_SCAFFOLD", "VIVIROV_MULTIPLEXING_GATE", "VIVIROV_GATE6",
                                 "VIVIROV_BYTES_E2E", "VIVIROV_COALESCER_PROOF", "VIVIROV_SKIP_TPS"})
            env.set(gate, std::nullopt);
    }

    void TearDown() override {
        if (yield) yield->uninstall();
        settleDetachedWork();
        host.reset();
        yield.reset();
        scheduler.reset(); // ends what is still queued; the engine ends with its gateway
    }

    // Builds the host; call once per test, after choosing the seams.
    VizivuradEngine& makeHost(int ringCapacity = 8192) {
        scheduler = std::make_unique<AgentScheduler>(4, nullptr, AgentScheduler::Context{&clock, {}, {}});
        VizivuradEngine::Services s;
        s.scheduler = scheduler.get();
        s.clock = &clock;
        s.timer = &timer;
        s.teardown = &teardown;
        s.activity = &activity;
        s.yield = [this]() -> CognitiveYieldController& { return *yield; };
        s.makeGateway = [this](const std::string& path) {
            ++gatewaysMade;
            return makeGateway ? makeGateway(path) : VMEngineGateway::create(path);
        };
        s.resolve = resolve;
        s.chatRingCapacity = ringCapacity;
        host = std::make_unique<VizivuradEngine>(s);
        CognitiveYieldController::Services y;
        y.engine = host.get();
        y.scheduler = scheduler.get();
        y.clock = &clock;
        y.timer = &timer;
        y.frames = &frames;
        y.activity = &activity;
        y.setBreath = [this](uint32_t us) { breaths.push_back(us); };
        yield = std::make_unique<CognitiveYieldController>(y);
        return *host;
    }

    // Runs a bootstrap to its end, turning the GUI loop meanwhile.
    void bootstrapAndSettle(const std::optional<std::string>& path = std::nullopt) {
        bool done = false;
        host->bootstrap(path, [&] { done = true; });
        ASSERT_TRUE(qtWaitUntil([&] { return done; }, 60000));
    }

    static VizivuradEngine::ResolvedModel resolvedAs(VizivuradEngine::ResolvedModel::Kind kind, std::string path) {
        VizivuradEngine::ResolvedModel r;
        r.kind = kind;
        r.path = std::move(path);
        r.summary = "test resolution of " + r.path;
        return r;
    }

    // Moves the fake clock and waits until every firing it made due has run
    // on the GUI thread, with the firings those firings schedule at once, so
    // a loaded machine cannot leave a tick behind the clock.
    void advanceAndSettle(uint64_t nanos) {
        clock.advance(nanos);
        for (;;) {
            ASSERT_TRUE(qtWaitUntil([&] { return timer.isSettled(); }));
            const uint64_t fired = timer.firedCount();
            QCoreApplication::processEvents(); // the posts of those firings
            if (timer.isSettled() && timer.firedCount() == fired) return;
        }
    }

    void startTurn() { activity.feed(AgentEvent{AgentEvent::TurnStarted{}}); }
    void endTurn() { activity.feed(AgentEvent::turnFinished("ok")); }

    ScopedEnv env;
    FakeClock clock;
    ClockTimer timer{clock};
    EngineTeardownRegistry teardown;
    AgentActivityModel activity;
    FrameGovernor frames;
    std::vector<uint32_t> breaths;
    Resolve resolve;
    MakeGateway makeGateway;
    std::atomic<int> gatewaysMade{0};
    std::unique_ptr<AgentScheduler> scheduler;
    std::unique_ptr<VizivuradEngine> host;
    std::unique_ptr<CognitiveYieldController> yield;
};

} // namespace vivirov::test
