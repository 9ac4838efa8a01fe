#include "VivirovVizivurad/Graph/GraphContext.h"

#include "tkg.h"

namespace vivirov {

GraphContext::GraphContext(QObject* parent) : QObject(parent) {}

void GraphContext::bootstrap(const std::optional<std::string>&) {
    // The vault import comes with the knowledge-graph surfaces; until then
    // the graph stays not ready.
}

std::vector<uint32_t> GraphContext::relatedIDs(const std::string&, int, int) {
    return {}; // never ready yet: nothing to recall
}

std::optional<std::string> GraphContext::nodeTitle(uint32_t id) const {
    if (!store_) return std::nullopt;
    const char* title = tkg_node_title(store_, id);
    if (!title) return std::nullopt;
    return std::string(title);
}

} // namespace vivirov
