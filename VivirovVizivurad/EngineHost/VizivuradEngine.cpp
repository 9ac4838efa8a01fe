#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"

namespace vivirov {

VizivuradEngine& VizivuradEngine::shared() {
    // Lives until the process ends, like the engine it fronts.
    static auto* instance = new VizivuradEngine(nullptr);
    return *instance;
}

void VizivuradEngine::setLoadingStatus(const QString& status) {
    if (status == loadingStatus_) return;
    loadingStatus_ = status;
    emit loadingStatusChanged();
}

} // namespace vivirov
