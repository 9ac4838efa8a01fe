// The graph handle: a finished .tkg file opened for queries only. Its file
// never changes while the handle is open (imports build a new file and
// rename it into place), so titles and the mapping are read without a lock;
// the walk's scratch is guarded by the handle's own mutex.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tkg.h"
#include "tkg_error.h"
#include "tkg_store.h"

namespace tkg {

struct Reached {
    uint32_t node;
    uint32_t hop;
};
static_assert(sizeof(Reached) == 8);

struct BFSContext {
    std::vector<uint64_t> visited;
    std::vector<uint32_t> frontier, next, touched;
    uint64_t covered = 0;

    void ensure(uint64_t n) {
        if (covered >= n && !visited.empty()) return;
        visited.assign((n + 63) / 64, 0);
        covered = n;
        frontier.reserve(4096);
        next.reserve(4096);
        touched.reserve(4096);
    }
    bool test(uint32_t i) const { return (visited[i >> 6] >> (i & 63)) & 1; }
    void set(uint32_t i) { visited[i >> 6] |= uint64_t(1) << (i & 63); }
    void clear(uint32_t i) { visited[i >> 6] &= ~(uint64_t(1) << (i & 63)); }
};

} // namespace tkg

struct tkg_graph {
    tkg::Store store;
    tkg::BFSContext bfs;
    std::vector<tkg::Reached> reached;
    std::unordered_map<std::string, uint32_t> title_index;
    std::vector<uint32_t> in_offsets;
    std::vector<uint32_t> in_sources;
    std::mutex mutex;
    std::string scratch; // lower-cased title of the fallback scan
};

namespace {

using tkg::Node;

void lowerInto(std::string& out, std::string_view s) {
    out.resize(s.size());
    for (size_t i = 0; i < s.size(); ++i) out[i] = char(std::tolower(static_cast<unsigned char>(s[i])));
}

uint32_t nodeCount(const tkg_graph* g) { return g->store.header()->node_count; }

std::string_view titleOf(const tkg_graph* g, uint32_t id) {
    const Node& n = g->store.nodes()[id];
    return {g->store.strings() + n.title_offset, n.title_length};
}

bool isTokenByte(unsigned char c) { return std::isalnum(c) || c == '_' || c == '-'; }

std::vector<std::string_view> tokenize(std::string_view q) {
    std::vector<std::string_view> tokens;
    size_t i = 0;
    while (i < q.size()) {
        while (i < q.size() && !(static_cast<unsigned char>(q[i]) < 0x80 && isTokenByte(q[i]))) ++i;
        const size_t start = i;
        while (i < q.size() && static_cast<unsigned char>(q[i]) < 0x80 && isTokenByte(q[i])) ++i;
        if (i - start >= 3) tokens.push_back(q.substr(start, i - start));
    }
    // Longest first; equal lengths keep their order in the text.
    std::stable_sort(tokens.begin(), tokens.end(),
                     [](std::string_view a, std::string_view b) { return a.size() > b.size(); });
    return tokens;
}

int64_t findLocked(tkg_graph* g, const char* text) {
    std::string q;
    lowerInto(q, text);
    if (q.empty()) return -1;
    if (auto it = g->title_index.find(q); it != g->title_index.end()) return it->second;
    const std::vector<std::string_view> tokens = tokenize(q);
    for (std::string_view token : tokens)
        if (auto it = g->title_index.find(std::string(token)); it != g->title_index.end()) return it->second;

    int64_t best = -1;
    uint64_t bestLength = UINT64_MAX;
    const uint32_t n = nodeCount(g);
    const Node* nodes = g->store.nodes();
    for (uint32_t id = 0; id < n; ++id) {
        const uint32_t length = nodes[id].title_length;
        if (length == 0 || length >= bestLength) continue;
        lowerInto(g->scratch, titleOf(g, id));
        const std::string_view title = g->scratch;
        bool match = q.size() <= length && title.find(q) != std::string_view::npos;
        for (size_t t = 0; !match && t < tokens.size(); ++t)
            match = tokens[t].size() <= length && title.find(tokens[t]) != std::string_view::npos;
        if (match) {
            best = id;
            bestLength = length;
        }
    }
    return best;
}

int64_t findByTitle(tkg_graph* g, const char* text) {
    std::lock_guard guard(g->mutex);
    return findLocked(g, text);
}

// Breadth-first walk along edges in both directions, at most k hops and at
// most `cap` reached nodes (the start included).
void undirectedKhop(tkg_graph* g, uint32_t start, uint32_t k, size_t cap) {
    auto& bfs = g->bfs;
    auto& reached = g->reached;
    reached.clear();
    const uint32_t n = nodeCount(g);
    if (start >= n) return;
    bfs.ensure(n);
    bfs.frontier.clear();
    bfs.touched.clear();
    bfs.set(start);
    bfs.touched.push_back(start);
    bfs.frontier.push_back(start);
    reached.push_back({start, 0});
    const Node* nodes = g->store.nodes();
    const tkg::Edge* edges = g->store.edges();
    auto full = [&] { return reached.size() >= cap; };
    auto visit = [&](uint32_t t, uint32_t hop) {
        if (t < n && !bfs.test(t)) {
            bfs.set(t);
            bfs.touched.push_back(t);
            bfs.next.push_back(t);
            reached.push_back({t, hop});
        }
    };
    for (uint32_t hop = 1; k > 0 && hop <= k && !bfs.frontier.empty() && !full(); ++hop) {
        bfs.next.clear();
        for (size_t f = 0; f < bfs.frontier.size() && !full(); ++f) {
            const uint32_t u = bfs.frontier[f];
            const Node& node = nodes[u];
            for (uint32_t e = 0; e < node.edge_count && !full(); ++e)
                visit(uint32_t(edges[node.edge_list_head + e].target_id), hop);
            for (uint32_t i = g->in_offsets[u]; i < g->in_offsets[u + 1] && !full(); ++i)
                visit(g->in_sources[i], hop);
        }
        std::swap(bfs.frontier, bfs.next);
    }
    for (uint32_t t : bfs.touched) bfs.clear(t);
}

// The walk's results without the match: nearest first, then more outgoing
// links first, then lower id.
void rankLocked(tkg_graph* g, uint32_t match, uint32_t k, uint32_t max) {
    const size_t cap = max == 0 ? 4096 : size_t(max) * 8 + 8;
    undirectedKhop(g, match, k, cap);
    auto& reached = g->reached;
    if (!reached.empty()) reached.erase(reached.begin());
    const Node* nodes = g->store.nodes();
    std::sort(reached.begin(), reached.end(), [nodes](const tkg::Reached& a, const tkg::Reached& b) {
        if (a.hop != b.hop) return a.hop < b.hop;
        if (nodes[a.node].edge_count != nodes[b.node].edge_count)
            return nodes[a.node].edge_count > nodes[b.node].edge_count;
        return a.node < b.node;
    });
}

void buildIndexes(tkg_graph* g) {
    const uint32_t n = nodeCount(g);
    g->title_index.reserve(size_t(n) * 2);
    std::string key;
    for (uint32_t id = 0; id < n; ++id) {
        lowerInto(key, titleOf(g, id));
        g->title_index.emplace(key, id);
    }
    const uint32_t edgeCount = g->store.header()->edge_count;
    const tkg::Edge* edges = g->store.edges();
    g->in_offsets.assign(size_t(n) + 1, 0);
    auto counts = [&](const tkg::Edge& e) { return uint32_t(e.source_id) < n && uint32_t(e.target_id) < n; };
    for (uint32_t i = 0; i < edgeCount; ++i)
        if (counts(edges[i])) ++g->in_offsets[uint32_t(edges[i].target_id) + 1];
    for (uint32_t i = 0; i < n; ++i) g->in_offsets[i + 1] += g->in_offsets[i];
    g->in_sources.resize(g->in_offsets[n]);
    std::vector<uint32_t> next(g->in_offsets.begin(), g->in_offsets.end() - 1);
    for (uint32_t i = 0; i < edgeCount; ++i)
        if (counts(edges[i])) g->in_sources[next[uint32_t(edges[i].target_id)]++] = uint32_t(edges[i].source_id);
}

} // namespace

extern "C" {

tkg_graph* tkg_open(const char* path, char* err, int32_t err_len) {
    if (!path) {
        tkg::copyError("null path", err, err_len);
        return nullptr;
    }
    try {
        auto* g = new tkg_graph();
        std::string message;
        if (!g->store.open(path, message)) {
            tkg::copyError(message, err, err_len);
            delete g;
            return nullptr;
        }
        buildIndexes(g);
        return g;
    } catch (const std::exception& e) {
        tkg::copyError(e.what(), err, err_len);
        return nullptr;
    }
}

void tkg_close(tkg_graph* g) { delete g; }

uint32_t tkg_node_count(const tkg_graph* g) { return g ? nodeCount(g) : 0; }

uint32_t tkg_edge_count(const tkg_graph* g) { return g ? g->store.header()->edge_count : 0; }

const char* tkg_node_title(const tkg_graph* g, uint32_t id) {
    if (!g || id >= nodeCount(g)) return nullptr;
    return g->store.strings() + g->store.nodes()[id].title_offset;
}

int64_t tkg_find_by_title(tkg_graph* g, const char* text) {
    if (!g || !text) return -1;
    return findByTitle(g, text);
}

int32_t tkg_related_titles(tkg_graph* g, const char* text, uint32_t k, uint32_t max, char* buf, int32_t size) {
    if (buf && size >= 1) buf[0] = 0;
    if (!buf || !g || !text || size < 2) return -1;
    const int64_t match = findByTitle(g, text);
    if (match < 0) return -1;
    std::lock_guard guard(g->mutex);
    rankLocked(g, uint32_t(match), k, max);
    const size_t limit = max == 0 ? g->reached.size() : max;
    size_t pos = 0, count = 0;
    for (size_t i = 0; i < g->reached.size() && count < limit; ++i) {
        const std::string_view title = titleOf(g, g->reached[i].node);
        if (title.empty()) continue;
        const size_t sep = count > 0 ? 1 : 0;
        if (sep + pos + title.size() >= size_t(size)) break;
        if (sep) buf[pos++] = '\n';
        std::memcpy(buf + pos, title.data(), title.size());
        pos += title.size();
        ++count;
    }
    buf[pos] = 0;
    return int32_t(count);
}

int32_t tkg_related_ids(tkg_graph* g, const char* text, uint32_t k, uint32_t max, uint32_t* ids, int32_t capacity) {
    if (!g || !text || !ids || capacity < 1) return -1;
    const int64_t match = findByTitle(g, text);
    if (match < 0) return -1;
    std::lock_guard guard(g->mutex);
    rankLocked(g, uint32_t(match), k, max);
    ids[0] = uint32_t(match);
    size_t limit = std::min(g->reached.size(), size_t(capacity) - 1);
    if (max) limit = std::min<size_t>(limit, max);
    for (size_t i = 0; i < limit; ++i) ids[i + 1] = g->reached[i].node;
    return int32_t(limit + 1);
}

const void* tkg_map_base(const tkg_graph* g) { return g ? g->store.base : nullptr; }
uint64_t tkg_map_size(const tkg_graph* g) { return g ? g->store.header()->total_size : 0; }
uint64_t tkg_node_offset(const tkg_graph* g) { return g ? g->store.header()->node_offset : 0; }
uint64_t tkg_edge_offset(const tkg_graph* g) { return g ? g->store.header()->edge_offset : 0; }

} // extern "C"
