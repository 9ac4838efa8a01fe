#pragma once
#include <QObject>
#include <QString>

#include <cstdint>

#include <functional>
#include <optional>
#include <string>

#include "VivirovVizivurad/Appearance/GenerationPhase.h"

namespace vivirov {

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

    static VizivuradEngine& shared();

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

    // Streams in-process chat text from the second-generation engine, with
    // pieces delivered to `onPiece` on the GUI thread; returns the whole
    // text. Without an engine it logs that and returns "".
    std::string streamChatText(const std::string& prompt, const std::function<void(const std::string&)>& onPiece);

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
        QString lastBatchStatus = QStringLiteral("(not measured)");
        QString activeModelPath = QStringLiteral("(none)");
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
    using QObject::QObject;
    static std::optional<ResolvedModel> routeCandidate(const std::string& path, const std::string& coreOnly);
    static std::optional<std::string> defaultGGUF(const std::string& folder);

    QString loadingStatus_;
    EnginePath activeEnginePath_ = EnginePath::none;
    bool gatewayHasEngine_ = false;
    Telemetry telemetry_;
};

} // namespace vivirov
