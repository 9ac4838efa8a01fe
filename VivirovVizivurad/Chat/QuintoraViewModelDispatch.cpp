// The co-work queue's runner: the controller's provider, tools and
// permission card drive one dispatch through an agent loop.
#include <condition_variable>
#include <mutex>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Tools/CapabilityManifest.h"
#include "VivirovKit/Tools/ToolRegistry.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/Chat/VMPermissionGate.h"
#include "VivirovVizivurad/CoWork/DispatchManager.h"
#include "VivirovVizivurad/CoWork/DispatchRun.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"

namespace vivirov {

namespace {

using Life = GuiLife<QuintoraViewModel>;

struct SetupHandoff {
    std::mutex mutex;
    std::condition_variable_any ready;
    bool answered = false;
    std::optional<DispatchRun::Setup> setup;
};

} // namespace

void QuintoraViewModel::runDispatch(Life::Weak weak, const Dispatch& dispatch, std::stop_token stop) {
    // What the run needs of the controller is read on the GUI thread; the
    // wait ends early on a stop, so the queue may join this thread there.
    auto handoff = std::make_shared<SetupHandoff>();
    postToGui([weak, handoff] {
        std::optional<DispatchRun::Setup> setup;
        if (auto* vm = Life::resolve(weak)) {
            auto provider = vm->router_->current();
            DispatchRun::Setup made;
            made.provider = provider;
            // The controller joins this run before its registry goes.
            made.registry = std::shared_ptr<ToolRegistry>(std::shared_ptr<void>(), vm->toolRegistry_.get());
            made.gate = vm->makePermissionGate();
            made.manifest = CapabilityManifest::build(*vm->toolRegistry_, true, vm->webSearchEnabled_, false,
                                                      provider->supportsVision(), provider->id(),
                                                      provider->displayName());
            made.maxIterations =
                DispatchRun::iterationLimit(vm->permissionMode_ == PermissionMode::god, vm->continuousMode_);
            setup = std::move(made);
        }
        std::lock_guard lock(handoff->mutex);
        handoff->setup = std::move(setup);
        handoff->answered = true;
        handoff->ready.notify_all();
    });
    std::optional<DispatchRun::Setup> setup;
    {
        std::unique_lock lock(handoff->mutex);
        handoff->ready.wait(lock, stop, [&] { return handoff->answered; });
        setup = std::move(handoff->setup);
    }
    if (!setup) {
        // Stopped before the run began, or the controller is gone.
        postToGui([weak, id = dispatch.id] {
            if (auto* vm = Life::resolve(weak))
                vm->dispatchManager_->update(id, [](Dispatch& job) {
                    job.status = Dispatch::Status::cancelled;
                    job.activity = "Cancelled";
                    job.finishedAt = Clock::current().wallSeconds();
                });
        });
        return;
    }

    DispatchRun::Outlets outlets;
    outlets.manager = [weak]() -> DispatchManager* {
        auto* vm = Life::resolve(weak);
        return vm ? vm->dispatchManager_.get() : nullptr;
    };
    outlets.feed = [weak](const AgentEvent& event) {
        if (auto* vm = Life::resolve(weak)) vm->activity_.feed(event);
    };
    outlets.accumulate = [weak](const std::string& providerID, const TokenUsage& usage) {
        if (auto* vm = Life::resolve(weak)) vm->router_->accumulate(providerID, usage);
    };
    DispatchRun::run(dispatch, std::move(*setup), std::move(outlets), stop);
}

} // namespace vivirov
