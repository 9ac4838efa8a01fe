#include "VivirovVizivurad/EngineHost/InProcessEngineReadiness.h"

namespace vivirov {

InProcessEngineReadiness& InProcessEngineReadiness::shared() {
    static InProcessEngineReadiness instance;
    return instance;
}

} // namespace vivirov
