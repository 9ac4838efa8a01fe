#pragma once
// On-disk layout of a .tkg graph file. Readers use the mapped bytes in place
// (and hand the whole mapping to the renderer), so the records below must keep
// exactly these widths, offsets and alignment.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tkg.h"

namespace tkg {

inline constexpr char MAGIC[16] = {'V', 'I', 'V', 'I', 'R', 'O', 'V', '_', 'K', 'G', '_', 'B', 'I', 'N', 0, 0};
inline constexpr uint64_t VERSION = 1;
inline constexpr uint64_t PAGE = 4096;
inline constexpr uint64_t HEADER_BYTES = 128;
inline constexpr uint64_t NODE_BYTES = 128;
inline constexpr uint64_t EDGE_BYTES = 32;
inline constexpr uint64_t EMBEDDING_BYTES = 1536;
inline constexpr uint64_t FLAG_ADJACENCY = 1;

enum NodeType : uint32_t {
    NODE_STUB = 1,
    NODE_NOTE = 4,
    NODE_TASK = 5,
    NODE_CRITERIA = 6,
};

enum EdgeType : uint32_t {
    EDGE_LINK = 0,
    EDGE_TASK_CRITERIA = 3,
};

struct Header {
    char magic[16];
    uint64_t version;
    uint32_t node_count;
    uint32_t edge_count;
    uint64_t node_offset;
    uint64_t edge_offset;
    uint64_t embeddings_offset;
    uint64_t string_offset;
    uint64_t node_capacity;
    uint64_t edge_capacity;
    uint64_t string_capacity;
    uint64_t string_used;
    uint64_t embeddings_bytes;
    uint64_t embeddings_used;
    uint64_t total_size;
    uint64_t flags;
};

// Bytes 64..87 of a task node.
struct TaskFields {
    uint32_t status;
    uint32_t attempts;
    int64_t last_run;
    uint64_t criteria_id;
};

struct Node {
    uint64_t node_id;
    int64_t created_at;
    int64_t modified_at;
    uint32_t title_offset;
    uint32_t title_length;
    uint32_t content_offset;
    uint32_t content_length;
    uint32_t node_type;
    uint32_t edge_list_head;
    uint32_t edge_count;
    uint32_t embedding_offset;
    uint32_t flags;
    uint32_t _pad;
    // Task fields of a task node; the 512-bit neighbour filter of any other
    // node once the adjacency index is built.
    uint32_t reserved[16];
};

struct Edge {
    uint64_t source_id;
    uint64_t target_id;
    float weight;
    uint32_t edge_type;
    uint32_t created_at;
    uint32_t flags;
};

static_assert(sizeof(Header) == 128 && alignof(Header) == 8);
static_assert(offsetof(Header, version) == 16 && offsetof(Header, node_count) == 24 &&
              offsetof(Header, edge_count) == 28 && offsetof(Header, node_offset) == 32 &&
              offsetof(Header, edge_offset) == 40 && offsetof(Header, embeddings_offset) == 48 &&
              offsetof(Header, string_offset) == 56 && offsetof(Header, node_capacity) == 64 &&
              offsetof(Header, edge_capacity) == 72 && offsetof(Header, string_capacity) == 80 &&
              offsetof(Header, string_used) == 88 && offsetof(Header, embeddings_bytes) == 96 &&
              offsetof(Header, embeddings_used) == 104 && offsetof(Header, total_size) == 112 &&
              offsetof(Header, flags) == 120);
static_assert(sizeof(Node) == 128);
static_assert(offsetof(Node, created_at) == 8 && offsetof(Node, modified_at) == 16 &&
              offsetof(Node, title_offset) == 24 && offsetof(Node, title_length) == 28 &&
              offsetof(Node, content_offset) == 32 && offsetof(Node, content_length) == 36 &&
              offsetof(Node, node_type) == 40 && offsetof(Node, edge_list_head) == 44 &&
              offsetof(Node, edge_count) == 48 && offsetof(Node, embedding_offset) == 52 &&
              offsetof(Node, flags) == 56 && offsetof(Node, _pad) == 60 &&
              offsetof(Node, reserved) == 64);
static_assert(sizeof(TaskFields) == 24 && offsetof(TaskFields, attempts) == 4 &&
              offsetof(TaskFields, last_run) == 8 && offsetof(TaskFields, criteria_id) == 16);
static_assert(sizeof(Edge) == 32);
static_assert(offsetof(Edge, target_id) == 8 && offsetof(Edge, weight) == 16 &&
              offsetof(Edge, edge_type) == 20 && offsetof(Edge, created_at) == 24 &&
              offsetof(Edge, flags) == 28);
static_assert(sizeof(tkg_task_row) == 32 && offsetof(tkg_task_row, status) == 8 &&
              offsetof(tkg_task_row, attempts) == 12 && offsetof(tkg_task_row, last_run) == 16 &&
              offsetof(tkg_task_row, criteria_id) == 24);
static_assert(sizeof(tkg_import_stats) == 32);
// The mapping is read as these records directly.
static_assert(std::endian::native == std::endian::little);

// Region offsets that follow from the capacities; every region starts on a
// page boundary and the file size is a whole number of pages.
struct Layout {
    uint64_t edge_offset;
    uint64_t embeddings_offset;
    uint64_t string_offset;
    uint64_t total_size;
};

// False when the capacities are too large to lay out in 64 bits.
bool computeLayout(uint64_t nodes, uint64_t edges, uint64_t string_bytes, uint64_t embedding_bytes,
                   Layout& out);

// Fills a fresh header for the given capacities (the rest of the file is zero).
void writeNewHeader(Header& h, uint64_t nodes, uint64_t edges, uint64_t string_bytes,
                    uint64_t embedding_bytes, const Layout& layout);

// Checks that a mapped file whose magic, version and size already passed can
// be read without leaving its regions: counts within capacities, regions in
// their order inside the file, every title inside the used string table and
// ending in a zero byte, every content inside it, every adjacency range
// inside the used edge table. Returns false with the reason.
bool validateStructure(const uint8_t* base, uint64_t length, std::string& err);

// Sets the four neighbour-filter bits of one outgoing edge's target.
void bloomAdd(uint32_t reserved[16], uint64_t target_id);

} // namespace tkg
