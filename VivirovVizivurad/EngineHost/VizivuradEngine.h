#pragma once
#include <QObject>
#include <QString>

#include <cstdint>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "VivirovKit/Scheduler/AgentScheduler.h"
#include "VivirovVizivurad/Appearance/GenerationPhase.h"
#include "VivirovVizivurad/EngineHost/GuiClockTicker.h"

namespace vivirov {

class AgentActivityModel;
class Clock;
class ClockTimer;
class CognitiveYieldController;
class EngineTeardownRegistry;
class VMEngineGateway;

// The engine host's GUI-thread face: what the views and the chat controller
// read of the in-process engine. Properties change on the GUI thread only.
// Model resolution (the statics) runs on any thread and keeps no state.
class VizivuradEngine : public QObject {
    Q_OBJECT
    // Shown while a model loads; empty when nothing loads.
    Q_PROPERTY(QString loadingStatus READ loadingStatus WRITE setLoadingStatus NOTIFY loadingStatusChanged)

public:
    // The engine path the host runs; `none` until a bootstrap succeeds.
    enum class EnginePath { none, scaffold, qwen2GGUF, deepseek4GGUF };
    static bool isLive(EnginePath path) { return path == EnginePath::qwen2GGUF || path == EnginePath::deepseek4GGUF; }

    // Which model file a bootstrap would load, and why, in one line.
    struct ResolvedModel {
        enum class Kind { qwen2GGUF, deepseek4GGUF, scaffold };
        Kind kind = Kind::scaffold;
        std::string path; // empty for the scaffold
        std::string summary;
        bool operator==(const ResolvedModel&) const = default;
    };

    static constexpr const char* kScaffoldPath = "scaffold://no-model";
    // One frame at 60 Hz: the chat text throttle, the GUI drain and user jobs.
    static constexpr uint64_t uiFrameNanos = 16'666'667;

    // What the host runs on; tests substitute each part. Empty or null
    // members take the process's own.
    struct Services {
        AgentScheduler* scheduler = nullptr;
        Clock* clock = nullptr;
        ClockTimer* timer = nullptr; // the throttles' flushes and the GUI tickers
        EngineTeardownRegistry* teardown = nullptr;
        AgentActivityModel* activity = nullptr;
        // Looked up when first needed: the controller itself reads this host.
        std::function<CognitiveYieldController&()> yield;
        std::function<std::shared_ptr<VMEngineGateway>(const std::string&)> makeGateway;
        std::function<ResolvedModel(const std::optional<std::string>&)> resolve;
        int chatRingCapacity = 8192; // text pieces between the generation and the GUI drain
    };

    // The app's host; lives until the process ends.
    static VizivuradEngine& shared();
    explicit VizivuradEngine(Services services, QObject* parent = nullptr);
    ~VizivuradEngine() override;

    QString loadingStatus() const { return loadingStatus_; }
    bool isLoading() const { return !loadingStatus_.isEmpty(); }
    void setLoadingStatus(const QString& status);
    void clearLoadingStatus() { setLoadingStatus(QString()); }

    EnginePath activeEnginePath() const { return activeEnginePath_; }
    void setActiveEnginePath(EnginePath path);
    // Whether the engine gateway holds a live engine; the bootstrap sets it.
    bool gatewayHasEngine() const { return gatewayHasEngine_; }
    void setGatewayHasEngine(bool live) { gatewayHasEngine_ = live; }
    // A live DeepSeek-V4 engine runs: its path is published and its gateway holds an engine.
    bool runsLiveDeepSeek() const { return activeEnginePath_ == EnginePath::deepseek4GGUF && gatewayHasEngine_; }

    // MARK: bootstrap (GUI thread)

    // Starts the second-generation engine once: the resolved model, else the
    // scaffold; the model loads on a worker while the GUI thread runs on. A
    // call while a bootstrap is in flight joins it. `done` runs on the GUI
    // thread once this bootstrap (or the one joined) has ended.
    void bootstrap(const std::optional<std::string>& modelPath, std::function<void()> done = {});
    // The same from a worker thread, waiting until it has ended.
    void bootstrapAndWait(const std::optional<std::string>& modelPath);
    // A gateway whose engine handle is set.
    bool isReady() const;
    // The gateway once a bootstrap succeeded; any thread.
    std::shared_ptr<VMEngineGateway> gateway() const;

    // One batched-decode bench on a worker; `done` gets the tokens per second
    // (none on failure) on the GUI thread.
    void measureBatchTPS(int B, int nDecode, std::function<void(std::optional<double>)> done = {});
    // The published bench result: "256.00 TPS · 64 tok · 0.25s (B=16)" in any locale.
    static std::string batchTPSText(double tps, int tokens, double wallS, int B);
    void refreshMatrixStats();
    void startMatrixTelemetry();
    void stopMatrixTelemetry();
    bool isMatrixTelemetryRunning() const { return matrixTicker_.isRunning(); }
    // Counter reads of the telemetry poller so far.
    int matrixTelemetryPolls() const { return matrixPolls_; }

    // MARK: in-process chat and jobs (worker threads)

    // Streams one in-process chat turn: the engine generates on this thread
    // and the GUI thread receives the text at most once a frame through
    // `onPiece`; every piece has reached it before this returns. Returns the
    // whole text ("" without an engine). A stop ends the generation within
    // one decode step. Blocks: never call it on the GUI thread.
    std::string streamChatText(const std::string& prompt, const std::function<void(const std::string&)>& onPiece,
                               std::stop_token cancel = {});
    // An agent job on the scheduler's user lane (deadline 1 s from now,
    // tokens thinned to one per frame), then a yield of background work.
    void submitUser(std::vector<uint32_t> prompt, std::function<void(uint32_t)> onToken,
                    std::function<void()> onDone);
    // An agent job on the background lane (deadline 10 s, ten tokens a second).
    void submitBackground(std::vector<uint32_t> prompt, std::function<void(uint32_t)> onToken,
                          std::function<void()> onDone);

    struct MultiplexingStats {
        int64_t preemptCount = 0;
        int64_t resumeCount = 0;
        int64_t pausedNow = 0;
        int64_t freeLanes = 0;
        int64_t pending = 0;
        std::vector<uint64_t> preemptLatencyNanos;
        std::optional<double> meanPreemptLatencyMs() const;
        // The mean below 20 samples.
        std::optional<double> p95PreemptLatencyMs() const;
    };
    MultiplexingStats multiplexingStats() const;
    std::vector<AgentScheduler::ActiveAgent> activeAgents() const;
    void resetMultiplexingStats();
    int forwardSwarm(const std::vector<uint32_t>& agentIDs);
    int forwardVerifyDraft(uint32_t agentID, const std::vector<uint32_t>& draftTokens, int& acceptedOut);

    // The model a bootstrap loads: the explicit path, VIVIROV_VM_MODEL,
    // VIVIROV_MODEL_PATH, then the default places (with the fast lane), else
    // the scaffold. Never fails; logs what it skips and probes.
    static ResolvedModel resolveModelPath(const std::optional<std::string>& explicitPath = std::nullopt);
    // $HOME/models/DeepSeek-V4-Core/ZOV4-Core-Only.gguf.
    static std::string deepSeekV4CoreOnlyPath();
    // The developer build's fixed model shard; a DeepSeek-V4 model by rule.
    static const char* const deepSeekV4ModelPath;
    // Where the installed app keeps its data files (the bundle's resources).
    static std::string installedDataDir();

    // MARK: telemetry the inspector shows; the engine host's pollers and
    // benches write it, each write announcing one change.
    struct Telemetry {
        uint64_t matrixSgHits = 0;
        uint64_t matrixSgMisses = 0;
        double lastBatchTPS = 0;
        double lastBatchWallS = 0;
        int lastBatchTokens = 0;
        QString lastBatchStatus = QStringLiteral("(not measured)");
        QString activeModelPath = QStringLiteral("(none)");
        QString lastModelResolution = QStringLiteral("(not bootstrapped)");
        GenerationPhase generationPhase = GenerationPhase::idle;
        bool operator==(const Telemetry&) const = default;
    };
    const Telemetry& telemetry() const { return telemetry_; }
    void setTelemetry(const Telemetry& telemetry);

signals:
    void loadingStatusChanged();
    void activeEnginePathChanged();
    void telemetryChanged();

private:
    struct ChatStream;
    static std::optional<ResolvedModel> routeCandidate(const std::string& path, const std::string& coreOnly);
    static std::optional<std::string> defaultGGUF(const std::string& folder);

    AgentScheduler& scheduler() const;
    Clock& clock() const;
    ClockTimer& timer() const;
    CognitiveYieldController& yield() const;
    void updateTelemetry(const std::function<void(Telemetry&)>& change);
    void setGenerationPhase(GenerationPhase phase);

    void runBootstrap(const std::optional<std::string>& modelPath);
    void bootstrapScaffold();
    void bootstrapLive(const std::string& path, EnginePath enginePath, const std::string& label);
    void finishLive(const std::shared_ptr<VMEngineGateway>& gw, const std::string& path, EnginePath enginePath,
                    const std::string& label);
    void attach(const std::shared_ptr<VMEngineGateway>& gw);
    void finishBootstrap();
    void submitJob(std::vector<uint32_t> prompt, std::function<void(uint32_t)> onToken, std::function<void()> onDone,
                   AgentScheduler::Lane lane, uint64_t deadlineNanos, uint64_t throttleNanos);

    Services services_;
    QString loadingStatus_;
    EnginePath activeEnginePath_ = EnginePath::none;
    bool gatewayHasEngine_ = false;
    Telemetry telemetry_;

    mutable std::mutex gatewayMutex_; // workers read the gateway; the GUI thread sets it once
    std::shared_ptr<VMEngineGateway> gateway_;
    bool bootstrapping_ = false;
    std::vector<std::function<void()>> bootstrapWaiters_;

    GuiClockTicker matrixTicker_;
    int matrixPolls_ = 0;
    bool didRegisterTelemetryTeardown_ = false;
};

} // namespace vivirov
