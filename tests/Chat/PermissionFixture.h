#pragma once
// A chat controller over fake services whose host tools run through a real
// executor with recorders in place of the outside operations, and helpers
// that ask the permission card from worker threads.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/Chat/VMPermissionGate.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "tests/Chat/FakeServices.h"
#include "tests/HostTools/RecordingCatalogueServices.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScopedEnv.h"

namespace vivirov::test {

class HostToolServices : public FakeServices {
public:
    using FakeServices::FakeServices;
    std::shared_ptr<RecordingSwarm> swarm = std::make_shared<RecordingSwarm>();
    std::shared_ptr<RecordingCloner> cloner = std::make_shared<RecordingCloner>();
    std::shared_ptr<RecordingDocuments> documents = std::make_shared<RecordingDocuments>();
    std::shared_ptr<FakeFleet> fleet = std::make_shared<FakeFleet>();
    std::shared_ptr<RecordingResearch> research = std::make_shared<RecordingResearch>();

    std::shared_ptr<ToolExecutionManager> makeToolExecutor() override {
        HostToolBackends backends;
        backends.swarm = swarm;
        backends.cloner = cloner;
        return std::make_shared<ToolExecutionManager>(backends);
    }
    HostToolCatalogue::Services makeHostToolServices() override {
        HostToolCatalogue::Services services;
        services.documents = documents;
        services.fleet = fleet;
        services.research = research;
        return services;
    }
};

class PermissionFixture : public ::testing::Test {
protected:
    PermissionFixture() {
        qtApp();
        AgentActivityModel::shared();
        SwarmOrchestrator::shared();
        VizivuradEngine::shared();
        env.set("HOME", dir.path())
            .set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent")
            .set("VIVIROV_PROVIDER", "anthropic")
            .set("VIVIROV_SHOW_LEGACY_ENGINES", std::nullopt)
            .set("VIVIROV_DEFAULT_ASK", std::nullopt);
        std::thread([&] { services.prepare(); }).join();
        vm = std::make_unique<QuintoraViewModel>(services);
    }

    // Runs `work` on a worker thread, as the agent loop does.
    template <class F>
    static auto onWorker(F work) {
        return std::async(std::launch::async, std::move(work));
    }

    // Waits (turning the event loop) until the card shows a request.
    PendingCommand awaitCard() {
        EXPECT_TRUE(qtWaitUntil([&] { return vm->pendingCommand().has_value(); }));
        return vm->pendingCommand().value_or(PendingCommand{});
    }

    // Turns the event loop until the worker's answer is there.
    template <class T>
    T awaitResult(std::future<T>& result) {
        EXPECT_TRUE(qtWaitUntil(
            [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return result.get();
    }

    // The agent loop's way through: its gate, then the registered handler.
    std::string loopCall(const std::shared_ptr<VMPermissionGate>& gate, const ProviderToolCall& call) {
        if (!gate->approve(call, {})) return "refused by the loop";
        return vm->toolRegistry().dispatch(call);
    }

    ScopedEnv env;
    TempDir dir;
    HostToolServices services{dir};
    std::unique_ptr<QuintoraViewModel> vm;
};

} // namespace vivirov::test
