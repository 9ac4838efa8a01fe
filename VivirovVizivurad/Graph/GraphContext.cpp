#include "VivirovVizivurad/Graph/GraphContext.h"

namespace vivirov {

GraphContext::GraphContext(QObject* parent) : QObject(parent) {}

void GraphContext::bootstrap(const std::optional<std::string>&) {
    // The vault import comes with the knowledge-graph surfaces; until then
    // the graph stays not ready.
}

std::vector<uint32_t> GraphContext::relatedIDs(const std::string&, int, int) {
    return {}; // never ready yet: nothing to recall
}

} // namespace vivirov
