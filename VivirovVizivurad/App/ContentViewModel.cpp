#include "VivirovVizivurad/App/ContentViewModel.h"

#include <cstdio>

#include "VivirovVizivurad/App/Columns/KillSwitchRule.h"
#include "VivirovVizivurad/App/LaunchSteps.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"

namespace vivirov {
namespace {

void run(const std::function<void()>& hook) {
    if (hook) hook();
}

} // namespace

QString ContentViewModel::tabTitle(InspectorTab tab) {
    return tab == InspectorTab::activity ? QStringLiteral("Activity") : QStringLiteral("Ruzor-Avir");
}

ContentViewModel::ContentViewModel(NavigationRouter& router, SwarmOrchestrator& swarm, Hooks hooks, QObject* parent)
    : QObject(parent), sampleMemory(&LaunchSteps::sampleResidentMegabytes), router_(router), swarm_(swarm),
      hooks_(std::move(hooks)) {
    connect(&router_, &NavigationRouter::currentRouteChanged, this, &ContentViewModel::onRouteChanged);
}

void ContentViewModel::attachController(QuintoraViewModel& vm) {
    if (controller()) return;
    vm_ = &vm;
    alive_ = &vm;
    connect(&vm, &QuintoraViewModel::deepReadModeChanged, this, [this] {
        if (hooks_.applyDeepRead && controller()) hooks_.applyDeepRead(vm_->deepReadMode());
    });
    for (auto signal : {&QuintoraViewModel::permissionModeChanged, &QuintoraViewModel::isStreamingChanged})
        connect(&vm, signal, this, &ContentViewModel::updateKillSwitch);
    for (PillarContext* pillar : {&vm.chatContext(), &vm.coworkContext()})
        connect(pillar, &PillarContext::isStreamingChanged, this, &ContentViewModel::updateKillSwitch);
    updateKillSwitch();
    emit controllerAttached();
    runStartupTasks();
}

void ContentViewModel::runStartupTasks() {
    vm_->loadHistory();
    swarm_.setRamMB(sampleMemory ? sampleMemory() : 0);
    run(hooks_.setupQuickAsk);
    run(hooks_.applyQAHooks);
    const auto current = vm_->router().current();
    if (current && current->id() == LaunchSteps::localEngineID) {
        run(hooks_.engineBootstrap);
    } else {
        std::fputs(LaunchSteps::bootstrapSkipLine(vm_->router().activeProviderID()).c_str(), stderr);
        std::fflush(stderr);
    }
    run(hooks_.installYield);
    run(hooks_.runGates);
    vm_->setActiveRoute(router_.currentRoute());
}

void ContentViewModel::onRouteChanged(AppRoute from, AppRoute to) {
    if (!controller()) return; // the start-up tasks mirror the route once the controller arrives
    vm_->swapDraft(from, to);
    vm_->setActiveRoute(to);
}

void ContentViewModel::updateKillSwitch() {
    QuintoraViewModel* vm = controller();
    const bool visible =
        vm && vivirov::killSwitchVisible(KillSwitchInputs{vm->permissionMode() == QuintoraViewModel::PermissionMode::god, vm->isStreaming(),
                                 vm->chatContext().isStreaming(), vm->coworkContext().isStreaming()});
    if (visible == killSwitchVisible_) return;
    killSwitchVisible_ = visible;
    emit killSwitchVisibleChanged();
}

void ContentViewModel::setInspectorPresented(bool on) {
    if (on == inspectorPresented_) return;
    inspectorPresented_ = on;
    emit inspectorPresentedChanged();
}

void ContentViewModel::setInspectorTab(InspectorTab tab) {
    if (tab == inspectorTab_) return;
    inspectorTab_ = tab;
    emit inspectorTabChanged();
}

void ContentViewModel::toggleDeepRead() {
    if (controller()) vm_->setDeepReadMode(!vm_->deepReadMode());
}

} // namespace vivirov
