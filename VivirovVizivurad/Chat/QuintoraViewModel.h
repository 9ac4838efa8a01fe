#pragma once
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "VivirovKit/Agentic/ArtifactEngine.h"
#include "VivirovKit/Support/SerialQueue.h"
#include "VivirovVizivurad/App/AppRoute.h"
#include "VivirovVizivurad/App/PanelConfiguration.h"
#include "VivirovVizivurad/Chat/AgentMode.h"
#include "VivirovVizivurad/Chat/GuiThread.h"
#include "VivirovVizivurad/Chat/ImageAttachment.h"
#include "VivirovVizivurad/Chat/PermissionGate.h"
#include "VivirovVizivurad/Chat/TransactionState.h"
#include "VivirovVizivurad/CoWork/Dispatch.h"
#include "VivirovVizivurad/EngineHost/StreamCoalescer.h"
#include "VivirovVizivurad/Providers/ProviderRouter.h"
#include "VivirovVizivurad/Store/ChatMessage.h"
#include "VivirovVizivurad/Store/StoreRecords.h"

namespace vivirov {

class AgentActivityModel;
class AgenticPermissionGate;
class ChatStore;
class CodeVerifier;
class DispatchManager;
class GlassBrowserModel;
class GraphContext;
class InProcessHost;
class PillarContext;
class SelfTestHooks;
class ServicesFactory;
class SessionBridging;
class TaskBoardModel;
class TaskStore;
class ToolExecutionManager;
class ToolRegistry;
class VMPermissionGate;

// The one controller of the window's chat turns, agent runs and co-work
// jobs. It owns the services it is built over, the chat and co-work
// pillars and the co-work queue, and publishes its state as properties with
// change signals; `changed()` also fires when a pillar or the queue changes.
//
// GUI thread only. Every callback it hands to another thread holds it
// weakly and does its work in a later turn of the GUI event loop.
class QuintoraViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString input READ inputText WRITE setInputText NOTIFY inputChanged)
    Q_PROPERTY(bool isStreaming READ isStreaming NOTIFY isStreamingChanged)
    Q_PROPERTY(bool anyStreaming READ anyStreaming NOTIFY anyStreamingChanged)
    Q_PROPERTY(QString engineStatus READ engineStatusText NOTIFY engineStatusChanged)
    Q_PROPERTY(QString lastStats READ lastStatsText NOTIFY lastStatsChanged)
    Q_PROPERTY(Route route READ route WRITE setRoute NOTIFY routeChanged)
    Q_PROPERTY(bool sidebarCollapsed READ sidebarCollapsed NOTIFY sidebarCollapsedChanged)
    Q_PROPERTY(bool deepReadMode READ deepReadMode WRITE setDeepReadMode NOTIFY deepReadModeChanged)
    Q_PROPERTY(bool showVault READ showVault WRITE setShowVault NOTIFY showVaultChanged)
    Q_PROPERTY(QString activeSessionID READ activeSessionText NOTIFY activeSessionIDChanged)
    Q_PROPERTY(bool isSwapping READ isSwapping NOTIFY isSwappingChanged)
    Q_PROPERTY(QString currentModelPath READ currentModelPathText NOTIFY currentModelPathChanged)
    Q_PROPERTY(WorkspaceMode workspaceMode READ workspaceMode WRITE setWorkspaceMode NOTIFY workspaceModeChanged)
    Q_PROPERTY(bool webSearchEnabled READ webSearchEnabled WRITE setWebSearchEnabled NOTIFY webSearchEnabledChanged)
    Q_PROPERTY(PermissionMode permissionMode READ permissionMode WRITE setPermissionMode NOTIFY permissionModeChanged)
    Q_PROPERTY(float cognitiveEntropy READ cognitiveEntropy NOTIFY cognitiveEntropyChanged)
    Q_PROPERTY(bool continuousMode READ continuousMode WRITE setContinuousMode NOTIFY continuousModeChanged)

public:
    // The sub-page the chat bar's settings popover asks for.
    enum class Route { chat, models, settings };
    Q_ENUM(Route)
    // The workspace variant the main window sets and reads.
    enum class WorkspaceMode { pureChat, coWork, ruzorAvir, taskBoard, coding };
    Q_ENUM(WorkspaceMode)
    // Whether tool calls ask the user first.
    enum class PermissionMode { ask, accept, god };
    Q_ENUM(PermissionMode)
    // "ask", "accept", "god"; any other text is no mode.
    static std::string rawValue(PermissionMode mode);
    static std::optional<PermissionMode> permissionModeFromRaw(std::string_view raw);

    // Builds the services from `services` (already prepared) in their fixed
    // order, wires them and starts what starts at launch.
    explicit QuintoraViewModel(ServicesFactory& services, QObject* parent = nullptr);
    // Stops and joins the tasks it owns and waits for queued row saves.
    ~QuintoraViewModel() override;

    // MARK: published state
    const std::vector<ChatMessage>& messages() const { return messages_; }
    const std::optional<Artifact>& currentArtifact() const { return currentArtifact_; }
    const std::string& input() const { return input_; }
    void setInput(std::string input);
    bool isStreaming() const { return isStreaming_; }
    const std::string& engineStatus() const { return engineStatus_; }
    const std::string& lastStats() const { return lastStats_; }
    Route route() const { return route_; }
    void setRoute(Route route);
    bool sidebarCollapsed() const { return sidebarCollapsed_; }
    bool deepReadMode() const { return deepReadMode_; }
    void setDeepReadMode(bool on);
    bool showVault() const { return showVault_; }
    void setShowVault(bool on);
    const std::vector<ChatSessionRef>& sessions() const { return sessions_; }
    const std::optional<UUID>& activeSessionID() const { return activeSessionID_; }
    bool isSwapping() const { return isSwapping_; }
    const std::string& currentModelPath() const { return currentModelPath_; }
    const std::vector<Attachment>& attachments() const { return attachments_; }
    const std::vector<ImageAttachment>& imageAttachments() const { return imageAttachments_; }
    const std::optional<std::string>& attachNotice() const { return attachNotice_; }
    WorkspaceMode workspaceMode() const { return workspaceMode_; }
    void setWorkspaceMode(WorkspaceMode mode);
    AgentMode agentMode() const { return agentMode_; }
    void setAgentMode(AgentMode mode);
    const PanelConfiguration& panelConfig() const { return panelConfig_; }
    bool webSearchEnabled() const { return webSearchEnabled_; }
    void setWebSearchEnabled(bool on);
    PermissionMode permissionMode() const { return permissionMode_; }
    void setPermissionMode(PermissionMode mode);
    // The request the permission card shows, if any.
    const std::optional<PendingCommand>& pendingCommand() const { return permissionGate_.pendingCommand(); }
    // The card's Deny (false) and Execute (true).
    void resolvePermission(const UUID& id, bool approved) { permissionGate_.resolve(id, approved); }
    // The waiting verdicts; the kill switch calls denyAll() on it.
    PermissionGate& permissionGate() { return permissionGate_; }
    // A fresh gate over this controller for an agent run; usable from any
    // thread but the GUI thread, refusing once the controller is gone.
    std::shared_ptr<VMPermissionGate> makePermissionGate() const;
    const TransactionState& transactionState() const { return transactionState_; }
    float cognitiveEntropy() const { return cognitiveEntropy_; }
    const std::vector<std::string>& synapticRecall() const { return synapticRecall_; }
    const std::vector<uint32_t>& synapticRecallIDs() const { return synapticRecallIDs_; }
    bool continuousMode() const { return continuousMode_; }
    void setContinuousMode(bool on);
    const std::optional<Dispatch>& focusedDispatch() const { return focusedDispatch_; }
    AppRoute activeRoute() const { return activeRoute_; }
    void setActiveRoute(AppRoute route);

    // MARK: services the rest of the app reads
    GraphContext& graph() { return *graph_; }
    TaskStore* taskStore() { return taskStore_.get(); }
    ProviderRouter& router() { return *router_; }
    ToolRegistry& toolRegistry() { return *toolRegistry_; }
    // The host-tool executor; the kill switch calls registry().terminateAll(250) on it.
    ToolExecutionManager& toolExecutor() { return *toolExecutor_; }
    PillarContext& chatContext() { return *chatContext_; }
    PillarContext& coworkContext() { return *coworkContext_; }
    DispatchManager& dispatchManager() { return *dispatchManager_; }
    AgentActivityModel& activity() { return activity_; }
    // The in-app browser the host tools drive.
    GlassBrowserModel& browser() { return *browser_; }

    // The co-work pillar on the co-work route, the chat pillar on every other.
    PillarContext& activePillar();
    // The single transcript's flag or either pillar's.
    bool anyStreaming() const;
    // Built over the task store (or none) on first use; the same one after.
    TaskBoardModel& taskBoard();

    // Reads the key store off the GUI thread, then applies the keys to the
    // router on it.
    void refreshKeys();

    // MARK: sessions (QuintoraViewModelSessions.cpp)
    // Rebuilds the session list from the store, once per controller; the
    // reads run off the GUI thread.
    void loadHistory();
    // Stops a streaming chat turn, then shows an empty chat as a new
    // untitled session at the top of the list.
    void newChat();
    // Shows the stored session `id` (read off the GUI thread); a streaming
    // chat turn is stopped first. The active session only returns to chat.
    void selectSession(const UUID& id);
    // The chat and co-work pillars keep their composer drafts across route
    // changes; code and nexus have none.
    void swapDraft(AppRoute from, AppRoute to);

    // MARK: kill switch and model swap (QuintoraViewModelKillSwitch.cpp)
    // Ends every turn, agent tool process, waiting permission request and
    // co-work job at once; the next send() starts normally.
    void hardStop();
    // Replaces the in-process engine's model file. Refused while anything
    // streams or a swap runs; the same file only returns to the chat route.
    void swapModel(const std::string& path);

    // At quit: stops and joins the owned tasks, then lets the in-process
    // engine go (waiting a bounded time).
    void shutdownForTermination();

    // MARK: chat turns
    // Starts a turn with the composer's text on the active pillar, unless the
    // text is blank or a turn or model swap is running.
    void send();
    // Sends a Quick Ask text on the chat route; a blank text changes nothing.
    void submitQuickAsk(const std::string& text);
    // Queue a text attachment or an image for the next prompt.
    void addPendingAttachment(Attachment attachment);
    void addPendingImage(ImageAttachment image);

    // The controller's weak end, for drivers that outlive it on other threads.
    GuiLife<QuintoraViewModel>::Weak weakSelf() const { return life_.weak(); }

    // MARK: attachments for the next prompt. Files are read off the GUI
    // thread and join the pending lists in the order given.
    // The composer's attach button: an open panel for several files.
    void pickFiles();
    // Dropped files; the refused ones are named in `attachNotice` for 3.2 s.
    void ingest(std::vector<std::string> paths);
    // A text or code file, or an image; a refused file is dropped silently.
    void addAttachment(std::string path);
    void addImageAttachment(std::string path);

    // MARK: the chat column's attachment pills
    // Takes every pending attachment (or image) with this id off the list.
    void removeAttachment(const UUID& id);
    void removeImageAttachment(const UUID& id);

signals:
    // Any published change, including the pillars' and the co-work queue's.
    void changed();
    void messagesChanged();
    void currentArtifactChanged();
    void inputChanged();
    void isStreamingChanged();
    void anyStreamingChanged();
    void engineStatusChanged();
    void lastStatsChanged();
    void routeChanged();
    void sidebarCollapsedChanged();
    void deepReadModeChanged();
    void showVaultChanged();
    void sessionsChanged();
    void activeSessionIDChanged();
    void isSwappingChanged();
    void currentModelPathChanged();
    void attachmentsChanged();
    void attachNoticeChanged();
    void workspaceModeChanged();
    void agentModeChanged();
    void panelConfigChanged();
    void webSearchEnabledChanged();
    void permissionModeChanged();
    void pendingCommandChanged();
    void transactionStateChanged();
    void cognitiveEntropyChanged();
    void synapticRecallChanged();
    void continuousModeChanged();
    void focusedDispatchChanged();
    void activeRouteChanged();

private:
    QString inputText() const { return QString::fromStdString(input_); }
    void setInputText(const QString& text) { setInput(text.toStdString()); }
    QString engineStatusText() const { return QString::fromStdString(engineStatus_); }
    QString lastStatsText() const { return QString::fromStdString(lastStats_); }
    QString activeSessionText() const;
    QString currentModelPathText() const { return QString::fromStdString(currentModelPath_); }

    void setEngineStatus(std::string status);
    void updateBusy();
    void ensureLocalEngineStarted();
    void applyEngineStatus(const std::string& status);
    void applyEntropy(float value);
    void bootstrapSession();
    // Offers the host tools to every agent loop, through the executor and the card.
    void registerHostTools(ServicesFactory& services);
    // Builds the in-app browser and makes it the one the host tools reach.
    void attachBrowserHub();
    // The co-work queue's runner: one dispatch on the job's own thread.
    static void runDispatch(GuiLife<QuintoraViewModel>::Weak weak, const Dispatch& dispatch, std::stop_token stop);
    void stopOwnedTasks();
    // Stops a turn task without waiting on the GUI thread; it is joined on
    // `reaper_`, and at the latest when the controller goes.
    void retire(std::jthread& task);
    // Stops the chat pillar's streaming turn only (co-work work runs on).
    void stopChatTurn();
    void applySwapStatus(const std::string& path, const std::string& status);
    // The single transcript's drain.
    void stopCoalescing();
    void drainCoalesced();
    void refreshArtifact(const std::string& text, bool streaming);
    void applySessions(std::vector<Conversation> conversations);
    void loadAttachments(std::vector<std::string> paths, bool notify);
    void showAttachNotice(std::string notice);

    // Chat turns (QuintoraViewModelTurns.cpp).
    struct ImagePixels {
        std::vector<uint8_t> rgb;
        int32_t width = 0;
        int32_t height = 0;
    };
    void sendOnPillar(const std::string& text, PillarContext& ctx);
    void setTitleIfNeeded(const std::string& text);
    std::string consumeAttachmentsPrefix();
    std::vector<ImagePixels> consumeImages();
    // The user row, the empty assistant row and the streaming state; returns
    // the assistant row's id.
    UUID beginTurnRows(PillarContext& ctx, const std::string& text);
    // Runs the recall in pillarDispatchTask_, publishes it and then `next`,
    // unless the task was stopped or the controller is gone.
    void recallThen(PillarContext& ctx, const std::string& text, std::function<void(QuintoraViewModel&)> next);
    void publishRecall(PillarContext& ctx, const std::vector<uint32_t>& ids);
    void runProviderGeneration(PillarContext& ctx, UUID convoID, std::shared_ptr<LLMProvider> provider,
                               UUID assistantID, std::string objective);
    void runAgentic(PillarContext& ctx, UUID convoID, std::string objective, UUID assistantID, bool planOnly);
    void failAgenticNotReady(PillarContext& ctx, const LLMProvider& provider, const UUID& assistantID,
                             const UUID& convoID);

    // Stored state, in construction order.
    std::vector<ChatMessage> messages_;
    std::optional<Artifact> currentArtifact_;
    std::string input_;
    bool isStreaming_ = false;
    std::string engineStatus_ = "starting engine\xE2\x80\xA6";
    std::string lastStats_;
    Route route_ = Route::chat;
    bool sidebarCollapsed_ = false;
    bool deepReadMode_ = false;
    bool showVault_ = false;
    std::vector<ChatSessionRef> sessions_;
    std::optional<UUID> activeSessionID_;
    bool isSwapping_ = false;
    std::string currentModelPath_;
    std::vector<Attachment> attachments_;
    std::vector<ImageAttachment> imageAttachments_;
    std::optional<std::string> attachNotice_;
    UUID attachNoticeToken_ = UUID::random();
    std::unique_ptr<ChatStore> store_;
    bool historyLoaded_ = false;
    WorkspaceMode workspaceMode_ = WorkspaceMode::pureChat;
    AgentMode agentMode_;
    PanelConfiguration panelConfig_;
    bool webSearchEnabled_ = false;
    PermissionMode permissionMode_ = PermissionMode::ask;
    std::jthread generationTask_;
    TransactionState transactionState_;
    float cognitiveEntropy_ = 0;
    std::vector<std::string> synapticRecall_;
    std::vector<uint32_t> synapticRecallIDs_;
    std::unique_ptr<GraphContext> graph_;
    std::unique_ptr<TaskStore> taskStore_;
    std::unique_ptr<TaskBoardModel> taskBoard_;
    std::jthread taskEngineTask_;
    std::shared_ptr<SessionBridging> autonomousSession_;
    std::vector<std::string> lastRelated_;
    std::unique_ptr<CodeVerifier> codeVerifier_;
    std::shared_ptr<ToolExecutionManager> toolExecutor_;
    std::unique_ptr<ProviderRouter> router_;
    std::unique_ptr<ToolRegistry> toolRegistry_;
    std::unique_ptr<GlassBrowserModel> browser_;
    bool continuousMode_ = false;
    std::jthread agenticTask_;
    std::unique_ptr<InProcessHost> inproc_;
    bool localEngineStarted_ = false;
    StreamCoalescer coalescer_;
    std::unique_ptr<QTimer> flushTimer_;
    int turnEpoch_ = 0;
    std::unique_ptr<PillarContext> chatContext_;
    std::unique_ptr<PillarContext> coworkContext_;
    std::unique_ptr<DispatchManager> dispatchManager_;
    AgentActivityModel& activity_;
    std::optional<Dispatch> focusedDispatch_;
    AppRoute activeRoute_ = AppRoute::chat;
    std::jthread chatPillarTask_;
    std::jthread pillarDispatchTask_;
    std::vector<QMetaObject::Connection> forwarding_;
    bool coalescerFlushHot_ = true;
    PermissionGate permissionGate_{[this] {
        emit pendingCommandChanged();
        emit changed();
    }};

    // Wiring.
    GuiLife<QuintoraViewModel> life_{this};
    std::unique_ptr<SelfTestHooks> hooks_;
    std::function<StoredProviderKeys()> readKeys_;
    // anyStreaming, readable from the co-work queue's thread.
    std::shared_ptr<std::atomic<bool>> busy_ = std::make_shared<std::atomic<bool>>(false);
    SerialQueue keyReads_{"com.dudive.vivirov.keys"};
    // Joins stopped turn tasks off the GUI thread; last, so it ends first.
    SerialQueue reaper_{"com.dudive.vivirov.reaper"};
};

} // namespace vivirov
