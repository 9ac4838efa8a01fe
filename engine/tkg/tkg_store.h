#pragma once
// One open .tkg file: its descriptor, its shared read-write mapping and the
// reader-writer lock that orders writers (import, task changes) against
// readers and flushes. Operations report failure as false or -1 with a text
// in the caller's `err`; nothing throws.
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "tkg_format.h"

namespace tkg {

struct Capacity {
    uint64_t nodes = 0;
    uint64_t edges = 0;
    uint64_t string_bytes = 0;
    uint64_t embeddings = 0; // records of 1536 bytes
};

// An advisory lock on the whole file (flock), so that several handles on
// one file, in this process or another, never write at the same time or
// read while another writes. Held inside the store's own lock.
class FileLock {
public:
    FileLock(int fd, bool exclusive);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
};

class Store {
public:
    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens, maps and validates an existing file; closed on failure.
    bool open(const std::string& path, std::string& err);
    // Creates (or truncates) the file with an empty graph of these capacities.
    bool create(const std::string& path, const Capacity& capacity, std::string& err);
    void close();

    // The caller holds `lock` exclusively for the members ending in _unlocked.
    int64_t addNode_unlocked(std::string_view title, std::string_view content, uint32_t type,
                             int64_t time, std::string& err);
    bool intern_unlocked(std::string_view text, uint32_t& offset, uint32_t& length, std::string& err);
    // Grows the file to at least these capacities; on failure the file and
    // the mapping are left exactly as they were.
    bool relayout_unlocked(uint64_t nodes, uint64_t edges, uint64_t string_bytes,
                           uint64_t embedding_bytes, std::string& err);

    bool addEdge(uint64_t source, uint64_t target, float weight, uint32_t type, uint32_t seconds,
                 std::string& err);
    int64_t addTaskNode(std::string_view title, std::string_view criteria, int64_t time, std::string& err);
    bool finalizeAdjacency(std::string& err);

    // Another handle on the same file may have grown it: the shared header
    // then names a size beyond this mapping. Adopting maps the file again at
    // that size. Caller holds `lock` exclusively and the file lock.
    bool stale() const { return header()->total_size != length; }
    bool adoptGrowth_unlocked(std::string& err);

    // Asynchronous write-back of the whole mapping; takes `lock` shared.
    void flushAsync();
    // Moves the file's modification time to now. Writes through a shared
    // mapping do not update it, and file watchers (inotify) only see writes
    // made through the descriptor or attribute changes.
    void touch();

    bool isOpen() const { return base != nullptr; }
    Header* header() const { return reinterpret_cast<Header*>(base); }
    Node* nodes() const { return reinterpret_cast<Node*>(base + header()->node_offset); }
    Edge* edges() const { return reinterpret_cast<Edge*>(base + header()->edge_offset); }
    char* strings() const { return reinterpret_cast<char*>(base + header()->string_offset); }

    int fd = -1;
    uint8_t* base = nullptr;
    uint64_t length = 0;
    std::shared_mutex lock;

private:
    bool appendEdge_unlocked(uint64_t source, uint64_t target, float weight, uint32_t type,
                             uint32_t seconds, std::string& err);
};

} // namespace tkg
