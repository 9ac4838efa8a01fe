// The graph handle: a finished .tkg file opened for queries only. Its file
// never changes while the handle is open (imports build a new file and
// rename it into place), so titles and the mapping are read without a lock;
// the walk's scratch is guarded by the handle's own mutex.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <string_view>
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

// Lower-cased title -> node id, open addressing over entries of the sorted
// title blob: one flat array instead of a node per title, since opening a
// large graph is dominated by building this index.
class TitleIndex {
public:
    void build(std::string_view blob, const std::vector<uint32_t>& offsets, const std::vector<uint32_t>& ids) {
        blob_ = blob;
        offsets_ = &offsets;
        ids_ = &ids;
        const size_t n = ids.size();
        size_t capacity = 16;
        while (capacity < n * 2) capacity *= 2;
        slots_.assign(capacity, Slot{0, EMPTY});
        mask_ = capacity - 1;
        // Entries come shortest first and by id among equal lengths, so the
        // first inserted of equal titles is the lowest id, and it is kept.
        for (uint32_t k = 0; k < n; ++k) {
            const std::string_view key = entry(k);
            const uint32_t h = hash(key);
            size_t i = h & mask_;
            for (;; i = (i + 1) & mask_) {
                if (slots_[i].entry == EMPTY) {
                    slots_[i] = Slot{h, k};
                    break;
                }
                if (slots_[i].hash == h && entry(slots_[i].entry) == key) break;
            }
        }
    }

    // The node id of a title equal to key, or -1.
    int64_t find(std::string_view key) const {
        if (slots_.empty()) return -1;
        const uint32_t h = hash(key);
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            if (slots_[i].entry == EMPTY) return -1;
            if (slots_[i].hash == h && entry(slots_[i].entry) == key) return (*ids_)[slots_[i].entry];
        }
    }

private:
    static constexpr uint32_t EMPTY = 0xFFFFFFFF;
    struct Slot {
        uint32_t hash;
        uint32_t entry;
    };
    static uint32_t hash(std::string_view key) {
        const uint64_t h = std::hash<std::string_view>{}(key);
        return uint32_t(h ^ (h >> 32));
    }
    std::string_view entry(uint32_t k) const {
        return blob_.substr((*offsets_)[k], (*offsets_)[k + 1] - (*offsets_)[k]);
    }
    std::string_view blob_;
    const std::vector<uint32_t>* offsets_ = nullptr;
    const std::vector<uint32_t>* ids_ = nullptr;
    std::vector<Slot> slots_;
    size_t mask_ = 0;
};

} // namespace tkg

struct tkg_graph {
    tkg::Store store;
    tkg::BFSContext bfs;
    std::vector<tkg::Reached> reached;
    // Every title lower-cased, back to back, shortest first and by id among
    // equal lengths: entry k is node by_length[k], the bytes from
    // lowered_offsets[k] to lowered_offsets[k + 1]. The index keys point here.
    std::string lowered_titles;
    std::vector<uint32_t> lowered_offsets;
    std::vector<uint32_t> by_length;
    tkg::TitleIndex title_index;
    std::vector<uint32_t> in_offsets;
    std::vector<uint32_t> in_sources;
    std::mutex mutex;
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
    if (const int64_t id = g->title_index.find(q); id >= 0) return id;
    const std::vector<std::string_view> tokens = tokenize(q);
    for (std::string_view token : tokens)
        if (const int64_t id = g->title_index.find(token); id >= 0) return id;

    // Fallback: the shortest title (lowest id among equals) that contains
    // the text or one of its tokens. The titles lie in exactly that order,
    // so the first hit of a needle inside one title is that needle's best,
    // and later needles only search the titles that could still win.
    const std::string& blob = g->lowered_titles;
    const std::vector<uint32_t>& offsets = g->lowered_offsets;
    const size_t entries = g->by_length.size();
    int64_t best = -1;
    uint64_t bestLength = UINT64_MAX;
    auto consider = [&](std::string_view needle) {
        size_t end = blob.size();
        if (best >= 0) {
            size_t lo = 0, hi = entries; // first entry longer than the best
            while (lo < hi) {
                const size_t mid = (lo + hi) / 2;
                if (offsets[mid + 1] - offsets[mid] <= bestLength) lo = mid + 1; else hi = mid;
            }
            end = offsets[lo];
        }
        size_t pos = 0;
        size_t k = 0; // hits come in order, so the owning entry only moves forward
        while (pos + needle.size() <= end) {
            const void* hit = memmem(blob.data() + pos, end - pos, needle.data(), needle.size());
            if (!hit) return;
            const size_t at = size_t(static_cast<const char*>(hit) - blob.data());
            while (offsets[k + 1] <= at) ++k;
            if (at + needle.size() > offsets[k + 1]) {
                pos = at + 1;
                continue;
            }
            const uint64_t length = offsets[k + 1] - offsets[k];
            const uint32_t id = g->by_length[k];
            if (length < bestLength || (length == bestLength && id < best)) {
                best = id;
                bestLength = length;
            }
            return;
        }
    };
    consider(q);
    for (std::string_view token : tokens) consider(token);
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

// Incoming edges of every node, grouped by target in edge-table order.
void buildIncoming(tkg_graph* g) {
    const uint32_t n = nodeCount(g);
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

// The lower-cased titles, their order by length and the title index.
void buildTitles(tkg_graph* g) {
    const uint32_t n = nodeCount(g);
    // Order by title length with a counting sort (stable, so ids ascend
    // within a length); the rare titles of 256 bytes or more go last, sorted.
    const Node* nodes = g->store.nodes();
    constexpr uint32_t kShort = 256;
    std::vector<uint32_t> starts(kShort + 1, 0);
    std::vector<uint32_t> longer;
    uint64_t total = 0;
    for (uint32_t id = 0; id < n; ++id) {
        const uint32_t length = nodes[id].title_length;
        total += length;
        if (length < kShort) ++starts[length + 1]; else longer.push_back(id);
    }
    for (uint32_t l = 0; l < kShort; ++l) starts[l + 1] += starts[l];
    g->by_length.resize(n);
    for (uint32_t id = 0; id < n; ++id)
        if (nodes[id].title_length < kShort) g->by_length[starts[nodes[id].title_length]++] = id;
    std::stable_sort(longer.begin(), longer.end(),
                     [nodes](uint32_t a, uint32_t b) { return nodes[a].title_length < nodes[b].title_length; });
    std::copy(longer.begin(), longer.end(), g->by_length.end() - ptrdiff_t(longer.size()));

    g->lowered_offsets.resize(size_t(n) + 1);
    g->lowered_titles.resize(total);
    char* out = g->lowered_titles.data();
    for (uint32_t k = 0; k < n; ++k) {
        g->lowered_offsets[k] = uint32_t(out - g->lowered_titles.data());
        for (unsigned char c : titleOf(g, g->by_length[k])) *out++ = char(std::tolower(c));
    }
    g->lowered_offsets[n] = uint32_t(total);
    g->title_index.build(g->lowered_titles, g->lowered_offsets, g->by_length);
}

// The two indexes read different tables and write different members, so
// they are built side by side.
void buildIndexes(tkg_graph* g) {
    std::exception_ptr failure;
    std::thread incoming([&] {
        try {
            buildIncoming(g);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    try {
        buildTitles(g);
    } catch (...) {
        incoming.join();
        throw;
    }
    incoming.join();
    if (failure) std::rethrow_exception(failure);
}

} // namespace

extern "C" {

tkg_graph* tkg_open(const char* path, char* err, int32_t err_len) {
    if (!path) {
        tkg::copyError("null path", err, err_len);
        return nullptr;
    }
    try {
        auto g = std::make_unique<tkg_graph>();
        std::string message;
        if (!g->store.open(path, message)) {
            tkg::copyError(message, err, err_len);
            return nullptr;
        }
        buildIndexes(g.get());
        return g.release();
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
