#include "tkg_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace tkg {
namespace {

constexpr uint64_t U32_LIMIT = 0xFFFFFFFFULL;

std::string sysText(const char* prefix) { return std::string(prefix) + std::strerror(errno); }

} // namespace

FileLock::FileLock(int fd, bool exclusive) : fd_(fd) {
    while (fd_ >= 0 && flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) flock(fd_, LOCK_UN);
}

Store::~Store() { close(); }

bool Store::adoptGrowth_unlocked(std::string& err) {
    if (!stale()) return true;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        err = sysText("fstat: ");
        return false;
    }
    const uint64_t size = header()->total_size;
    if (uint64_t(st.st_size) != size) {
        err = "header total_size != file size (truncated?)";
        return false;
    }
    void* m = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        err = sysText("mmap: ");
        return false;
    }
    std::string reason;
    if (!validateStructure(static_cast<uint8_t*>(m), size, reason)) {
        munmap(m, size_t(size));
        err = reason;
        return false;
    }
    munmap(base, length);
    base = static_cast<uint8_t*>(m);
    length = size;
    return true;
}

void Store::close() {
    if (base) munmap(base, length);
    if (fd >= 0) ::close(fd);
    base = nullptr;
    fd = -1;
    length = 0;
}

bool Store::open(const std::string& path, std::string& err) {
    close();
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        err = sysText("open: ");
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        err = sysText("fstat: ");
        close();
        return false;
    }
    if (uint64_t(st.st_size) < HEADER_BYTES) {
        err = "file smaller than header";
        close();
        return false;
    }
    void* m = mmap(nullptr, size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        err = sysText("mmap: ");
        close();
        return false;
    }
    base = static_cast<uint8_t*>(m);
    length = uint64_t(st.st_size);
    const Header* h = header();
    if (std::memcmp(h->magic, MAGIC, sizeof MAGIC) != 0) {
        err = "bad magic — not a .tkg";
    } else if (h->version != VERSION) {
        err = "unsupported .tkg version";
    } else if (h->total_size != length) {
        err = "header total_size != file size (truncated?)";
    } else if (validateStructure(base, length, err)) {
        return true;
    }
    close();
    return false;
}

bool Store::create(const std::string& path, const Capacity& capacity, std::string& err) {
    close();
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = sysText("open: ");
        return false;
    }
    Layout layout{};
    uint64_t embeddingBytes = 0;
    if (__builtin_mul_overflow(capacity.embeddings, EMBEDDING_BYTES, &embeddingBytes) ||
        !computeLayout(capacity.nodes, capacity.edges, capacity.string_bytes, embeddingBytes, layout) ||
        layout.total_size > uint64_t(INT64_MAX)) {
        errno = EFBIG;
        err = sysText("ftruncate: ");
        close();
        return false;
    }
    if (ftruncate(fd, off_t(layout.total_size)) != 0) {
        err = sysText("ftruncate: ");
        close();
        return false;
    }
    void* m = mmap(nullptr, size_t(layout.total_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        err = sysText("mmap: ");
        close();
        return false;
    }
    base = static_cast<uint8_t*>(m);
    length = layout.total_size;
    writeNewHeader(*header(), capacity.nodes, capacity.edges, capacity.string_bytes, embeddingBytes, layout);
    return true;
}

bool Store::relayout_unlocked(uint64_t nodes, uint64_t edges, uint64_t string_bytes,
                              uint64_t embedding_bytes, std::string& err) {
    Header* h = header();
    const uint64_t newNodes = std::max(nodes, h->node_capacity);
    const uint64_t newEdges = std::max(edges, h->edge_capacity);
    const uint64_t newStrings = std::max(string_bytes, h->string_capacity);
    const uint64_t newEmbeddings = std::max(embedding_bytes, h->embeddings_bytes);
    if (newNodes == h->node_capacity && newEdges == h->edge_capacity &&
        newStrings == h->string_capacity && newEmbeddings == h->embeddings_bytes)
        return true;

    Layout layout{};
    if (!computeLayout(newNodes, newEdges, newStrings, newEmbeddings, layout) ||
        layout.total_size > uint64_t(INT64_MAX)) {
        errno = EFBIG;
        err = sysText("ftruncate grow: ");
        return false;
    }
    const uint64_t oldLength = length;
    if (layout.total_size > oldLength) {
        // Reserve the blocks without moving the end of file, so a failure
        // below never leaves a file whose size disagrees with its header.
        if (fallocate(fd, FALLOC_FL_KEEP_SIZE, off_t(oldLength), off_t(layout.total_size - oldLength)) != 0 &&
            errno == ENOSPC) {
            err = sysText("preallocate grow: ");
            return false;
        }
    }
    if (ftruncate(fd, off_t(layout.total_size)) != 0) {
        err = sysText("ftruncate grow: ");
        return false;
    }
    void* m = mmap(nullptr, size_t(layout.total_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        err = sysText("mmap grow: ");
        if (ftruncate(fd, off_t(oldLength)) != 0) {
            // The old mapping stays valid either way; the file keeps the
            // longer size until the next successful growth.
        }
        return false;
    }
    auto* nb = static_cast<uint8_t*>(m);
    // Capacities only grow, so every region moves up: move the highest first.
    if (h->string_used)
        std::memmove(nb + layout.string_offset, nb + h->string_offset, h->string_used);
    if (h->embeddings_used)
        std::memmove(nb + layout.embeddings_offset, nb + h->embeddings_offset, h->embeddings_used);
    if (h->edge_count)
        std::memmove(nb + layout.edge_offset, nb + h->edge_offset, uint64_t(h->edge_count) * EDGE_BYTES);

    munmap(base, length);
    base = nb;
    length = layout.total_size;
    h = header();
    h->edge_capacity = newEdges;
    h->string_capacity = newStrings;
    h->embeddings_bytes = newEmbeddings;
    h->edge_offset = layout.edge_offset;
    h->embeddings_offset = layout.embeddings_offset;
    h->string_offset = layout.string_offset;
    h->node_capacity = newNodes;
    h->total_size = layout.total_size;
    return true;
}

bool Store::intern_unlocked(std::string_view text, uint32_t& offset, uint32_t& length_out, std::string& err) {
    const uint64_t need = header()->string_used + text.size() + 1;
    if (need > U32_LIMIT) {
        err = "string table exceeds 4 GiB (uint32 offset space)";
        return false;
    }
    if (need > header()->string_capacity) {
        const Header* h = header();
        if (!relayout_unlocked(h->node_capacity, h->edge_capacity,
                               std::max(need, 2 * h->string_capacity), h->embeddings_bytes, err))
            return false;
    }
    Header* h = header();
    char* dst = strings() + h->string_used;
    if (!text.empty()) std::memcpy(dst, text.data(), text.size());
    dst[text.size()] = 0;
    offset = uint32_t(h->string_used);
    length_out = uint32_t(text.size());
    h->string_used = need;
    return true;
}

int64_t Store::addNode_unlocked(std::string_view title, std::string_view content, uint32_t type,
                                int64_t time, std::string& err) {
    if (header()->node_count == U32_LIMIT) {
        err = "node_count exhausts uint32 (max ~4.29B nodes)";
        return -1;
    }
    if (header()->node_count >= header()->node_capacity) {
        const Header* h = header();
        const uint64_t grown = h->node_capacity ? 2 * h->node_capacity : 1;
        if (!relayout_unlocked(grown, h->edge_capacity, h->string_capacity, h->embeddings_bytes, err))
            return -1;
    }
    uint32_t titleOffset = 0, titleLength = 0, contentOffset = 0, contentLength = 0;
    if (!intern_unlocked(title, titleOffset, titleLength, err)) return -1;
    if (!content.empty() && !intern_unlocked(content, contentOffset, contentLength, err)) return -1;

    Header* h = header();
    Node& n = nodes()[h->node_count];
    std::memset(&n, 0, sizeof n);
    n.node_id = h->node_count;
    n.created_at = time;
    n.modified_at = time;
    n.title_offset = titleOffset;
    n.title_length = titleLength;
    n.content_offset = contentOffset;
    n.content_length = contentLength;
    n.node_type = type;
    return int64_t(h->node_count++);
}

bool Store::appendEdge_unlocked(uint64_t source, uint64_t target, float weight, uint32_t type,
                                uint32_t seconds, std::string& err) {
    if (source >= header()->node_count || target >= header()->node_count) {
        err = "edge endpoint out of range";
        return false;
    }
    if (header()->edge_count == U32_LIMIT) {
        err = "edge_count exhausts uint32 (max ~4.29B edges)";
        return false;
    }
    if (header()->edge_count >= header()->edge_capacity) {
        const Header* h = header();
        const uint64_t grown = h->edge_capacity ? 2 * h->edge_capacity : 1;
        if (!relayout_unlocked(h->node_capacity, grown, h->string_capacity, h->embeddings_bytes, err))
            return false;
    }
    Header* h = header();
    Edge& e = edges()[h->edge_count];
    e.source_id = source;
    e.target_id = target;
    e.weight = weight;
    e.edge_type = type;
    e.created_at = seconds;
    e.flags = 0;
    ++h->edge_count;
    return true;
}

bool Store::addEdge(uint64_t source, uint64_t target, float weight, uint32_t type, uint32_t seconds,
                    std::string& err) {
    std::unique_lock guard(lock);
    return appendEdge_unlocked(source, target, weight, type, seconds, err);
}

int64_t Store::addTaskNode(std::string_view title, std::string_view criteria, int64_t time, std::string& err) {
    static constexpr std::string_view PREFIX = "criteria: ";
    std::unique_lock guard(lock);
    FileLock file(fd, true);
    if (!adoptGrowth_unlocked(err)) return -1;
    Header* h = header();
    // Make room for the whole task before writing any of it, so a failure
    // never leaves a half-added task that a retry would duplicate.
    if (uint64_t(h->node_count) + 2 > U32_LIMIT) {
        err = "node_count exhausts uint32 (max ~4.29B nodes)";
        return -1;
    }
    if (h->edge_count == U32_LIMIT) {
        err = "edge_count exhausts uint32 (max ~4.29B edges)";
        return -1;
    }
    const uint64_t needStrings = h->string_used + (PREFIX.size() + title.size() + 1) +
                                 (criteria.empty() ? 0 : criteria.size() + 1) + (title.size() + 1);
    if (needStrings > U32_LIMIT) {
        err = "string table exceeds 4 GiB (uint32 offset space)";
        return -1;
    }
    uint64_t wantNodes = h->node_capacity, wantEdges = h->edge_capacity, wantStrings = h->string_capacity;
    if (uint64_t(h->node_count) + 2 > wantNodes) wantNodes = std::max<uint64_t>(2 * wantNodes, h->node_count + 2);
    if (uint64_t(h->edge_count) + 1 > wantEdges) wantEdges = wantEdges ? 2 * wantEdges : 1;
    if (needStrings > wantStrings) wantStrings = std::max(needStrings, 2 * wantStrings);
    if (!relayout_unlocked(wantNodes, wantEdges, wantStrings, h->embeddings_bytes, err)) return -1;

    h = header();
    const uint32_t nodesBefore = h->node_count;
    const uint64_t stringsBefore = h->string_used;
    auto rollback = [&] {
        header()->node_count = nodesBefore;
        header()->string_used = stringsBefore;
        return int64_t(-1);
    };
    std::string criteriaTitle;
    criteriaTitle.reserve(PREFIX.size() + title.size());
    criteriaTitle.append(PREFIX).append(title);
    const int64_t criteriaId = addNode_unlocked(criteriaTitle, criteria, NODE_CRITERIA, time, err);
    if (criteriaId < 0) return rollback();
    const int64_t taskId = addNode_unlocked(title, {}, NODE_TASK, time, err);
    if (taskId < 0) return rollback();
    auto* fields = reinterpret_cast<TaskFields*>(nodes()[taskId].reserved);
    fields->status = 1;
    fields->attempts = 0;
    fields->last_run = 0;
    fields->criteria_id = uint64_t(criteriaId);
    // Microseconds since 1970 in, whole Unix seconds on the edge.
    if (!appendEdge_unlocked(uint64_t(taskId), uint64_t(criteriaId), 1.0f, EDGE_TASK_CRITERIA,
                             uint32_t(time / 1000000), err))
        return rollback();
    return taskId;
}

bool Store::finalizeAdjacency(std::string& err) {
    std::unique_lock guard(lock);
    Header* h = header();
    const uint32_t nodeCount = h->node_count;
    if (nodeCount == 0) return true;
    const uint32_t edgeCount = h->edge_count;
    Edge* table = edges();
    std::vector<uint32_t> counts(nodeCount, 0);
    for (uint32_t i = 0; i < edgeCount; ++i) {
        if (table[i].source_id >= nodeCount) {
            err = "edge source out of range during finalize";
            return false;
        }
        ++counts[table[i].source_id];
    }
    Node* ns = nodes();
    std::vector<uint32_t> next(nodeCount);
    uint32_t running = 0;
    for (uint32_t i = 0; i < nodeCount; ++i) {
        ns[i].edge_list_head = running;
        ns[i].edge_count = counts[i];
        next[i] = running;
        running += counts[i];
    }
    if (edgeCount) {
        std::vector<Edge> sorted(edgeCount);
        for (uint32_t i = 0; i < edgeCount; ++i) sorted[next[table[i].source_id]++] = table[i];
        std::memcpy(table, sorted.data(), size_t(edgeCount) * EDGE_BYTES);
    }
    for (uint32_t i = 0; i < nodeCount; ++i) {
        Node& n = ns[i];
        if (n.node_type == NODE_TASK) continue;
        std::memset(n.reserved, 0, sizeof n.reserved);
        for (uint32_t j = 0; j < n.edge_count; ++j) bloomAdd(n.reserved, table[n.edge_list_head + j].target_id);
    }
    h->flags |= FLAG_ADJACENCY;
    return true;
}

void Store::flushAsync() {
    std::shared_lock guard(lock);
    if (base) msync(base, length, MS_ASYNC);
}

void Store::touch() {
    if (fd >= 0) futimens(fd, nullptr);
}

} // namespace tkg
