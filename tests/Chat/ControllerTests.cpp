#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "VivirovVizivurad/Chat/ControllerStartup.h"
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/CoWork/DispatchManager.h"
#include "VivirovVizivurad/CoWork/TaskBoardModel.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/EngineHost/InProcessEngineReadiness.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "tests/Chat/FakeServices.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {
namespace {

const std::string kNotBootedPrefix = "[vivirov] native Derevududuv local engine NOT booted \xE2\x80\x94 ";

class Controller : public ::testing::Test {
protected:
    Controller() {
        qtApp();
        AgentActivityModel::shared();
        SwarmOrchestrator::shared();
        VizivuradEngine::shared();
        env.set("HOME", dir.path())
            .set("VIVIROV_HW_PROFILE", "16g")
            .set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent") // no key store: reads fail at once
            .set("VIVIROV_PROVIDER", "anthropic")
            .set("VIVIROV_SHOW_LEGACY_ENGINES", std::nullopt)
            .set("VIVIROV_DEFAULT_ASK", std::nullopt);
    }

    // Prepares on a worker, as the app does, then builds on this (GUI) thread.
    std::unique_ptr<QuintoraViewModel> build(FakeServices& services) {
        std::thread([&] { services.prepare(); }).join();
        return std::make_unique<QuintoraViewModel>(services);
    }

    void useInProcessEngine() {
        env.set("VIVIROV_PROVIDER", "derevududuv").set("VIVIROV_SHOW_LEGACY_ENGINES", "1");
    }

    ScopedEnv env;
    TempDir dir;
};

TEST_F(Controller, BuildsItsServicesInOrderThenWiresStartsAndRunsTheHooks) {
    useInProcessEngine();
    FakeServices services(dir);
    auto vm = build(services);
    EXPECT_EQ(services.log->snapshot(),
              (std::vector<std::string>{"prepare", "chatStore", "graph", "taskStore", "codeVerifier", "toolRegistry",
                                        "inproc", "database", "database", "hooks", "router", "inproc.setOnEntropy",
                                        "inproc.start", "graph.bootstrap(default)", "hook.applyVerifyHooks",
                                        "hook.seedDemoTasks", "hook.demo", "hook.browserE2E", "hook.fabGuardE2E",
                                        "hook.engineDemo", "hook.providerProof", "hook.agenticPillarE2E",
                                        "hook.uiChatProof", "hook.killRaceE2E"}));
    EXPECT_EQ(vm->currentModelPath(), "/models/fake.gguf");
    EXPECT_EQ(vm->panelConfig(), PanelConfiguration{});
    EXPECT_TRUE(vm->panelConfig().bottomPanelCollapsed);
}

TEST_F(Controller, DefaultAskOnlyForExactlyOne) {
    const std::pair<std::optional<std::string>, AgentMode> cases[] = {
        {"1", AgentMode::ask}, {"true", AgentMode::agent}, {"0", AgentMode::agent}, {std::nullopt, AgentMode::agent}};
    for (const auto& [value, mode] : cases) {
        SCOPED_TRACE(value.value_or("unset"));
        ScopedEnv ask("VIVIROV_DEFAULT_ASK", value);
        TempDir own;
        FakeServices services(own);
        EXPECT_EQ(build(services)->agentMode(), mode);
    }
}

TEST_F(Controller, AnotherProviderLeavesTheEngineOffAndSaysSoOnce) {
    FakeServices services(dir);
    StderrCapture err;
    auto vm = build(services);
    const std::string name = vm->router().current()->displayName();
    EXPECT_EQ(vm->engineStatus(), "off \xC2\xB7 " + name + " active");
    const std::string text = err.text();
    const std::string line = kNotBootedPrefix + "anthropic is the active brain\n";
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(kNotBootedPrefix), text.rfind(kNotBootedPrefix)) << "written once";
    auto log = services.log->snapshot();
    EXPECT_EQ(std::count(log.begin(), log.end(), "inproc.start"), 0);
}

TEST_F(Controller, EngineStatusAndReadinessFollowTheHostsReports) {
    useInProcessEngine();
    struct Case {
        std::vector<std::string> script;
        bool ready;
    };
    const Case cases[] = {{{"ready"}, true}, {{"ready", "Derevududuv engine failed to load"}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script.back());
        InProcessEngineReadiness::shared().set(!c.ready);
        TempDir own;
        FakeServices services(own, c.script);
        StderrCapture err;
        auto vm = build(services);
        // Nothing the host reports is seen before the event loop turns.
        EXPECT_EQ(vm->engineStatus(), "starting engine\xE2\x80\xA6");
        EXPECT_EQ(VizivuradEngine::shared().loadingStatus(),
                  QStringLiteral("Loading local model\u2026 (this can take a minute)"));
        ASSERT_TRUE(qtWaitUntil([&] {
            std::lock_guard lock(services.log->mutex);
            return services.log->keyReads == int(c.script.size()) && vm->engineStatus() == c.script.back();
        }));
        EXPECT_EQ(InProcessEngineReadiness::shared().isReady(), c.ready);
        EXPECT_FALSE(VizivuradEngine::shared().isLoading());
        EXPECT_EQ(err.text().find(kNotBootedPrefix), std::string::npos);
    }
}

TEST_F(Controller, StartsWithOneSeedSessionShownByTheChatPillar) {
    FakeServices services(dir);
    auto vm = build(services);
    ASSERT_EQ(vm->sessions().size(), 1u);
    EXPECT_EQ(vm->sessions()[0].title, "");
    EXPECT_EQ(vm->activeSessionID(), vm->sessions()[0].id);
    EXPECT_EQ(vm->chatContext().activeConversationID(), vm->activeSessionID());
    EXPECT_FALSE(vm->coworkContext().activeConversationID());
}

TEST_F(Controller, RoutesChooseThePillarAndStreamingMakesTheEngineBusy) {
    FakeServices services(dir);
    auto vm = build(services);
    for (auto route : {AppRoute::chat, AppRoute::code, AppRoute::nexus, AppRoute::cowork}) {
        vm->setActiveRoute(route);
        EXPECT_EQ(&vm->activePillar(), route == AppRoute::cowork ? &vm->coworkContext() : &vm->chatContext());
    }

    int forwarded = 0;
    QObject::connect(vm.get(), &QuintoraViewModel::changed, [&] { ++forwarded; });
    for (PillarContext* pillar : {&vm->chatContext(), &vm->coworkContext()}) {
        EXPECT_FALSE(vm->dispatchManager().engineBusy());
        pillar->setStreaming(true);
        bool busy = false;
        std::thread([&] { busy = vm->dispatchManager().engineBusy(); }).join(); // the queue asks from its thread
        EXPECT_TRUE(busy);
        EXPECT_TRUE(vm->anyStreaming());
        pillar->setStreaming(false);
    }
    EXPECT_FALSE(vm->dispatchManager().engineBusy());
    EXPECT_GE(forwarded, 4) << "pillar changes reach the controller's observers";
}

TEST_F(Controller, EntropyIsKeptOnlyWhileTheTranscriptStreams) {
    useInProcessEngine();
    FakeServices services(dir);
    auto vm = build(services);
    ASSERT_TRUE(services.log->onEntropy);
    std::thread([&] { services.log->onEntropy(0.7f); }).join();
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(vm->cognitiveEntropy(), 0.0f);
}

TEST_F(Controller, TheTaskBoardIsBuiltOnceOnFirstUse) {
    FakeServices services(dir);
    auto vm = build(services);
    TaskBoardModel* first = &vm->taskBoard();
    EXPECT_EQ(&vm->taskBoard(), first);
    EXPECT_EQ(first->store(), vm->taskStore());
}

TEST_F(Controller, CallbacksHandedOutDoNothingOnceTheControllerIsGone) {
    useInProcessEngine();
    FakeServices services(dir, {});
    auto vm = build(services);
    auto runner = vm->dispatchManager().runner();
    auto busy = vm->dispatchManager().engineBusyTest();
    vm->chatContext().setStreaming(true);
    ASSERT_TRUE(busy());
    const bool wasReady = InProcessEngineReadiness::shared().isReady();
    vm.reset();

    std::atomic<bool> returned{false};
    std::thread worker([&] {
        services.log->onStatus("ready");
        services.log->onEntropy(0.5f);
        runner(Dispatch{}, {}); // waits for the GUI thread, which finds no controller
        returned = true;
    });
    EXPECT_TRUE(qtWaitUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_FALSE(busy());
    EXPECT_EQ(InProcessEngineReadiness::shared().isReady(), wasReady);
}

TEST_F(Controller, QueuedRowSavesAreWrittenBeforeTheControllerIsGone) {
    FakeServices services(dir);
    auto vm = build(services);
    const UUID conversation = vm->chatContext().beginTurnConversation();
    for (int i = 0; i < 20; ++i) vm->chatContext().persist(Role::user, std::to_string(i));
    vm.reset();
    EXPECT_EQ(services.store().messages(conversation).size(), 20u);
}

TEST_F(Controller, StartUpNeverWaitsForTheBlockingSetUp) {
    auto services = std::make_shared<FakeServices>(dir);
    std::promise<void> guiTurned;
    auto turned = guiTurned.get_future();
    std::atomic<bool> sawGuiFirst{false};
    // The set-up answers only after the GUI thread handled an event queued
    // behind the start: were start-up waiting for it, it would time out.
    services->beforePrepare = [&] {
        sawGuiFirst = turned.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    };

    std::unique_ptr<QuintoraViewModel> vm;
    ControllerStartup startup(services, [&](std::unique_ptr<QuintoraViewModel> built) { vm = std::move(built); });
    QMetaObject::invokeMethod(qApp, [&] { guiTurned.set_value(); }, Qt::QueuedConnection);
    ASSERT_TRUE(qtWaitUntil([&] { return vm != nullptr; }, 30000));
    EXPECT_TRUE(sawGuiFirst);
    EXPECT_EQ(vm->thread(), QThread::currentThread());
    EXPECT_EQ(vm->router().thread(), QThread::currentThread());
    vm.reset();
}

} // namespace
} // namespace vivirov::test
