#pragma once
// Small graph files built through the store, for the query and format tests.
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/tkg/tkg_store.h"

namespace vivirov::test {

// Creates a file with the given titles (note nodes) and edges, finalised.
inline void writeGraph(const std::string& path, const std::vector<std::string>& titles,
                       const std::vector<std::pair<uint64_t, uint64_t>>& links, bool finalize = true) {
    tkg::Store store;
    std::string err;
    if (!store.create(path, {titles.size() + 1, links.size() + 1, 4096, 0}, err)) throw std::runtime_error(err);
    for (const std::string& t : titles) {
        std::unique_lock guard(store.lock);
        if (store.addNode_unlocked(t, "", tkg::NODE_NOTE, 0, err) < 0) throw std::runtime_error(err);
    }
    for (auto [s, t] : links)
        if (!store.addEdge(s, t, 1.0f, tkg::EDGE_LINK, 0, err)) throw std::runtime_error(err);
    if (finalize && !store.finalizeAdjacency(err)) throw std::runtime_error(err);
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace vivirov::test
