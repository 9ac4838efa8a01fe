#include "VivirovVizivurad/Chat/QuintoraViewModel.h"


#include "VivirovKit/Agentic/SessionBridging.h"
#include "VivirovKit/Scheduler/TaskStore.h"
#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Tools/ToolRegistry.h"
#include "VivirovKit/Verification/CodeVerifier.h"
#include "VivirovVizivurad/Browser/BrowserHub.h"
#include "VivirovVizivurad/Browser/GlassBrowserModel.h"
#include "VivirovVizivurad/Chat/GuiThread.h"
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Chat/Publish.h"
#include "VivirovVizivurad/Chat/ServicesFactory.h"
#include "VivirovVizivurad/Chat/VMPermissionGate.h"
#include "VivirovVizivurad/CoWork/DispatchManager.h"
#include "VivirovVizivurad/CoWork/TaskBoardModel.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/EngineHost/InProcessEngineReadiness.h"
#include "VivirovVizivurad/EngineHost/InProcessHost.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "VivirovVizivurad/Graph/GraphContext.h"
#include "VivirovVizivurad/HostTools/HostToolCatalogue.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "VivirovVizivurad/SelfTest/SelfTestHooks.h"
#include "VivirovVizivurad/Store/ChatStore.h"

namespace vivirov {

namespace {

constexpr const char* kInProcessProviderID = "derevududuv";

// Ask only when VIVIROV_DEFAULT_ASK is exactly "1".
AgentMode initialAgentMode() {
    return env::isOn("VIVIROV_DEFAULT_ASK") ? AgentMode::ask : AgentMode::agent;
}

} // namespace

QuintoraViewModel::QuintoraViewModel(ServicesFactory& services, QObject* parent)
    : QObject(parent),
      store_(services.makeChatStore()),
      agentMode_(initialAgentMode()),
      graph_(services.makeGraph()),
      taskStore_(services.makeTaskStore()),
      codeVerifier_(services.makeCodeVerifier()),
      toolExecutor_(services.makeToolExecutor()),
      toolRegistry_(services.makeToolRegistry()),
      inproc_(services.makeInProcessHost()),
      chatContext_(std::make_unique<PillarContext>(ConversationKind::chat, services.database())),
      coworkContext_(std::make_unique<PillarContext>(ConversationKind::cowork, services.database())),
      dispatchManager_(std::make_unique<DispatchManager>()),
      activity_(AgentActivityModel::shared()),
      hooks_(services.makeSelfTestHooks()),
      readKeys_(services.keyReader()) {
    currentModelPath_ = inproc_->modelPath();
    router_ = services.takeRouter();

    // Observers of the controller redraw when a pillar or the queue changes.
    // A connection to `this` ends with it: the forwarding holds it weakly.
    forwarding_.push_back(connect(chatContext_.get(), &PillarContext::changed, this, &QuintoraViewModel::changed));
    forwarding_.push_back(connect(coworkContext_.get(), &PillarContext::changed, this, &QuintoraViewModel::changed));
    forwarding_.push_back(
        connect(dispatchManager_.get(), &DispatchManager::changed, this, &QuintoraViewModel::changed));
    connect(chatContext_.get(), &PillarContext::isStreamingChanged, this, &QuintoraViewModel::updateBusy);
    connect(coworkContext_.get(), &PillarContext::isStreamingChanged, this, &QuintoraViewModel::updateBusy);

    const auto weak = life_.weak();
    // The queue calls its runner on the job's own thread.
    dispatchManager_->setRunner(
        [weak](const Dispatch& dispatch, std::stop_token stop) { runDispatch(weak, dispatch, stop); });
    dispatchManager_->setEngineBusy([busy = std::weak_ptr<std::atomic<bool>>(busy_)] {
        auto flag = busy.lock();
        return flag && flag->load();
    });

    registerHostTools(services);
    attachBrowserHub();

    inproc_->setOnEntropy([weak](float value) {
        postToGui([weak, value] {
            if (auto* vm = GuiLife<QuintoraViewModel>::resolve(weak)) vm->applyEntropy(value);
        });
    });

    auto active = router_->current();
    if (active->id() == kInProcessProviderID) {
        ensureLocalEngineStarted();
    } else {
        setEngineStatus("off \xC2\xB7 " + active->displayName() + " active");
        logLine("[vivirov] native Derevududuv local engine NOT booted \xE2\x80\x94 " + active->id() +
                " is the active brain");
    }

    bootstrapSession();
    graph_->bootstrap(std::nullopt);

    hooks_->applyVerifyHooks(*this);
    hooks_->seedDemoTasksIfRequested(*this);
    hooks_->runDemoIfRequested(*this);
    hooks_->runBrowserE2EIfRequested(*this);
    hooks_->runFabGuardE2EIfRequested(*this);
    hooks_->runEngineDemoIfRequested(*this);
    hooks_->runDerevududuvProviderProofIfRequested(*this);
    hooks_->runAgenticPillarE2EIfRequested(*this);
    hooks_->runUIChatProofIfRequested(*this);
    hooks_->runKillRaceE2EIfRequested(*this);
}

QuintoraViewModel::~QuintoraViewModel() {
    for (auto& connection : forwarding_) disconnect(connection);
    stopOwnedTasks();
    chatContext_->waitForSaves();
    coworkContext_->waitForSaves();
}

void QuintoraViewModel::shutdownForTermination() {
    stopOwnedTasks();
    inproc_->shutdownForTermination();
}

void QuintoraViewModel::stopOwnedTasks() {
    std::jthread* tasks[] = {&generationTask_, &taskEngineTask_, &agenticTask_, &chatPillarTask_,
                             &pillarDispatchTask_};
    for (auto* task : tasks) task->request_stop();
    // The co-work job's run uses the registry and the gate: it ends first.
    dispatchManager_->shutdown();
    for (auto* task : tasks)
        if (task->joinable()) task->join();
    reaper_.sync([] {});
}

void QuintoraViewModel::retire(std::jthread& task) {
    if (!task.joinable()) {
        task = std::jthread();
        return;
    }
    task.request_stop();
    reaper_.async([stopped = std::make_shared<std::jthread>(std::move(task))] { stopped->join(); });
    task = std::jthread();
}

// MARK: construction steps

void QuintoraViewModel::ensureLocalEngineStarted() {
    if (localEngineStarted_) return;
    localEngineStarted_ = true;
    setEngineStatus("starting engine\xE2\x80\xA6");
    VizivuradEngine::shared().setLoadingStatus(
        QStringLiteral("Loading local model\u2026 (this can take a minute)"));
    const auto weak = life_.weak();
    inproc_->start([weak](const std::string& status) {
        postToGui([weak, status] {
            if (auto* vm = GuiLife<QuintoraViewModel>::resolve(weak)) vm->applyEngineStatus(status);
        });
    });
}

void QuintoraViewModel::applyEngineStatus(const std::string& status) {
    setEngineStatus(status);
    VizivuradEngine::shared().clearLoadingStatus();
    InProcessEngineReadiness::shared().set(status == "ready");
    refreshKeys();
}

void QuintoraViewModel::applyEntropy(float value) {
    if (!isStreaming_) return;
    publish(*this, cognitiveEntropy_, value, &QuintoraViewModel::cognitiveEntropyChanged);
}

void QuintoraViewModel::refreshKeys() {
    const auto weak = life_.weak();
    keyReads_.async([weak, read = readKeys_] {
        auto keys = read();
        postToGui([weak, keys = std::move(keys)] {
            if (auto* vm = GuiLife<QuintoraViewModel>::resolve(weak)) vm->router_->applyKeys(keys);
        });
    });
}

void QuintoraViewModel::bootstrapSession() {
    ChatSessionRef seed{UUID::random(), ""};
    publish(*this, sessions_, std::vector<ChatSessionRef>{seed}, &QuintoraViewModel::sessionsChanged);
    publish(*this, activeSessionID_, std::optional<UUID>(seed.id), &QuintoraViewModel::activeSessionIDChanged);
    chatContext_->setActiveConversationID(seed.id);
}

void QuintoraViewModel::registerHostTools(ServicesFactory& services) {
    auto catalogue = services.makeHostToolServices();
    catalogue.executor = toolExecutor_;
    catalogue.approver = makePermissionGate();
    HostToolCatalogue::registerHostTools(*toolRegistry_, std::move(catalogue));
}

std::shared_ptr<VMPermissionGate> QuintoraViewModel::makePermissionGate() const {
    return std::make_shared<VMPermissionGate>(life_.weak());
}

void QuintoraViewModel::attachBrowserHub() {
    browser_ = std::make_unique<GlassBrowserModel>();
    BrowserHub::shared()->attach(*browser_);
}

// MARK: derived state

PillarContext& QuintoraViewModel::activePillar() {
    return activeRoute_ == AppRoute::cowork ? *coworkContext_ : *chatContext_;
}

bool QuintoraViewModel::anyStreaming() const {
    return isStreaming_ || chatContext_->isStreaming() || coworkContext_->isStreaming();
}

TaskBoardModel& QuintoraViewModel::taskBoard() {
    if (!taskBoard_) taskBoard_ = std::make_unique<TaskBoardModel>(taskStore_.get());
    return *taskBoard_;
}

void QuintoraViewModel::updateBusy() {
    const bool busy = anyStreaming();
    if (busy_->exchange(busy) != busy) emit anyStreamingChanged();
}

// MARK: setters

std::string QuintoraViewModel::rawValue(PermissionMode mode) {
    switch (mode) {
    case PermissionMode::ask: return "ask";
    case PermissionMode::accept: return "accept";
    case PermissionMode::god: return "god";
    }
    return "ask";
}

std::optional<QuintoraViewModel::PermissionMode> QuintoraViewModel::permissionModeFromRaw(std::string_view raw) {
    for (auto mode : {PermissionMode::ask, PermissionMode::accept, PermissionMode::god})
        if (rawValue(mode) == raw) return mode;
    return std::nullopt;
}

QString QuintoraViewModel::activeSessionText() const {
    return activeSessionID_ ? QString::fromStdString(activeSessionID_->string()) : QString();
}

void QuintoraViewModel::setInput(std::string input) {
    publish(*this, input_, std::move(input), &QuintoraViewModel::inputChanged);
}
void QuintoraViewModel::setEngineStatus(std::string status) {
    publish(*this, engineStatus_, std::move(status), &QuintoraViewModel::engineStatusChanged);
}
void QuintoraViewModel::setRoute(Route route) { publish(*this, route_, route, &QuintoraViewModel::routeChanged); }
void QuintoraViewModel::setDeepReadMode(bool on) {
    publish(*this, deepReadMode_, on, &QuintoraViewModel::deepReadModeChanged);
}
void QuintoraViewModel::setShowVault(bool on) { publish(*this, showVault_, on, &QuintoraViewModel::showVaultChanged); }
void QuintoraViewModel::setWorkspaceMode(WorkspaceMode mode) {
    publish(*this, workspaceMode_, mode, &QuintoraViewModel::workspaceModeChanged);
}
void QuintoraViewModel::setAgentMode(AgentMode mode) {
    publish(*this, agentMode_, mode, &QuintoraViewModel::agentModeChanged);
}
void QuintoraViewModel::setWebSearchEnabled(bool on) {
    publish(*this, webSearchEnabled_, on, &QuintoraViewModel::webSearchEnabledChanged);
}
void QuintoraViewModel::setPermissionMode(PermissionMode mode) {
    publish(*this, permissionMode_, mode, &QuintoraViewModel::permissionModeChanged);
}
void QuintoraViewModel::setContinuousMode(bool on) {
    publish(*this, continuousMode_, on, &QuintoraViewModel::continuousModeChanged);
}
void QuintoraViewModel::setActiveRoute(AppRoute route) {
    publish(*this, activeRoute_, route, &QuintoraViewModel::activeRouteChanged);
}

} // namespace vivirov
