#pragma once
#include <QObject>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct tkg_graph;

namespace vivirov {

// The knowledge-graph facade of the chat controller. Until the graph is
// imported and opened it is not ready: it has no store and recalls nothing.
// GUI thread.
class GraphContext : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool ready READ ready NOTIFY readyChanged)

public:
    explicit GraphContext(QObject* parent = nullptr);

    bool ready() const { return ready_; }
    // The open graph store; null until it is open.
    tkg_graph* storeHandle() const { return store_; }

    // Imports the vault (none = the default folder) and opens the graph;
    // returns at once.
    virtual void bootstrap(const std::optional<std::string>& vaultDir);
    // Related node ids of `query`, k hops, at most `max`; empty while not
    // ready, without a store, or for a blank query. Blocks for the search;
    // a chat turn calls it from its own worker thread.
    virtual std::vector<uint32_t> relatedIDs(const std::string& query, int k, int max);
    // The title of a node of the open store; none without a store or title.
    virtual std::optional<std::string> nodeTitle(uint32_t id) const;

signals:
    void readyChanged(bool ready);

private:
    bool ready_ = false;
    tkg_graph* store_ = nullptr;
};

} // namespace vivirov
