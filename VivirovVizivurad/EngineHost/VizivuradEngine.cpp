#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"

#include <QCoreApplication>

#include "VivirovKit/Support/Log.h"

namespace vivirov {

VizivuradEngine& VizivuradEngine::shared() {
    // Lives until the process ends, like the engine it fronts; belongs to the
    // GUI thread whichever thread asks first.
    static auto* instance = [] {
        auto* engine = new VizivuradEngine(nullptr);
        if (QCoreApplication* app = QCoreApplication::instance()) engine->moveToThread(app->thread());
        return engine;
    }();
    return *instance;
}

void VizivuradEngine::setLoadingStatus(const QString& status) {
    if (status == loadingStatus_) return;
    loadingStatus_ = status;
    emit loadingStatusChanged();
}

void VizivuradEngine::setActiveEnginePath(EnginePath path) {
    if (path == activeEnginePath_) return;
    activeEnginePath_ = path;
    emit activeEnginePathChanged();
}

std::string VizivuradEngine::streamChatText(const std::string&, const std::function<void(const std::string&)>&) {
    // No second-generation engine is hosted yet: every call answers as the
    // host does without one.
    logLine("[vizivurad-engine] streamChatText: engine not ready");
    return {};
}

void VizivuradEngine::setTelemetry(const Telemetry& telemetry) {
    if (telemetry == telemetry_) return;
    telemetry_ = telemetry;
    emit telemetryChanged();
}

} // namespace vivirov
