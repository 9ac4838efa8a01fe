#include "tkg_format.h"

#include <cstring>

namespace tkg {
namespace {

bool alignUp(uint64_t x, uint64_t& out) {
    if (x > UINT64_MAX - (PAGE - 1)) return false;
    out = (x + PAGE - 1) / PAGE * PAGE;
    return true;
}

bool mulAdd(uint64_t base, uint64_t count, uint64_t size, uint64_t& out) {
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes)) return false;
    return !__builtin_add_overflow(base, bytes, &out);
}

uint64_t mix(uint64_t z) {
    z ^= z >> 30;
    z *= 0xBF58476D1CE4E5B9ULL;
    z ^= z >> 27;
    z *= 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return z;
}

} // namespace

bool computeLayout(uint64_t nodes, uint64_t edges, uint64_t string_bytes, uint64_t embedding_bytes,
                   Layout& out) {
    uint64_t end = 0;
    if (!mulAdd(PAGE, nodes, NODE_BYTES, end) || !alignUp(end, out.edge_offset)) return false;
    if (!mulAdd(out.edge_offset, edges, EDGE_BYTES, end) || !alignUp(end, out.embeddings_offset))
        return false;
    if (__builtin_add_overflow(out.embeddings_offset, embedding_bytes, &end) ||
        !alignUp(end, out.string_offset))
        return false;
    if (__builtin_add_overflow(out.string_offset, string_bytes, &end) || !alignUp(end, out.total_size))
        return false;
    return true;
}

void writeNewHeader(Header& h, uint64_t nodes, uint64_t edges, uint64_t string_bytes,
                    uint64_t embedding_bytes, const Layout& layout) {
    std::memset(&h, 0, sizeof h);
    std::memcpy(h.magic, MAGIC, sizeof MAGIC);
    h.version = VERSION;
    h.node_offset = PAGE;
    h.edge_offset = layout.edge_offset;
    h.embeddings_offset = layout.embeddings_offset;
    h.string_offset = layout.string_offset;
    h.node_capacity = nodes;
    h.edge_capacity = edges;
    h.string_capacity = string_bytes;
    h.embeddings_bytes = embedding_bytes;
    h.total_size = layout.total_size;
}

bool validateStructure(const uint8_t* base, uint64_t length, std::string& err) {
    const auto* h = reinterpret_cast<const Header*>(base);
    if (h->node_count > h->node_capacity || h->edge_count > h->edge_capacity) {
        err = "node or edge count exceeds capacity";
        return false;
    }
    Layout layout{};
    if (h->node_offset != PAGE ||
        !computeLayout(h->node_capacity, h->edge_capacity, h->string_capacity, h->embeddings_bytes,
                       layout) ||
        layout.edge_offset != h->edge_offset || layout.embeddings_offset != h->embeddings_offset ||
        layout.string_offset != h->string_offset || layout.total_size != length) {
        err = "regions do not fit the file";
        return false;
    }
    if (h->string_used > h->string_capacity || h->embeddings_used > h->embeddings_bytes) {
        err = "string usage exceeds capacity";
        return false;
    }
    const auto* nodes = reinterpret_cast<const Node*>(base + h->node_offset);
    const uint8_t* strings = base + h->string_offset;
    for (uint64_t i = 0; i < h->node_count; ++i) {
        const Node& n = nodes[i];
        // The title's terminating zero must lie inside the used table too.
        if (uint64_t(n.title_offset) + n.title_length >= h->string_used ||
            (n.content_length != 0 &&
             uint64_t(n.content_offset) + n.content_length > h->string_used)) {
            err = "node text outside the string table";
            return false;
        }
        if (strings[uint64_t(n.title_offset) + n.title_length] != 0) {
            err = "title without terminating zero";
            return false;
        }
        if (uint64_t(n.edge_list_head) + n.edge_count > h->edge_count) {
            err = "adjacency range outside the edge table";
            return false;
        }
    }
    return true;
}

void bloomAdd(uint32_t reserved[16], uint64_t target_id) {
    static constexpr uint64_t C[4] = {0x9E3779B97F4A7C15ULL, 0xC37D6E4ACEB75932ULL,
                                      0xE8C362DC1E24364FULL, 0x0E09576D6D91136CULL};
    auto* bytes = reinterpret_cast<uint8_t*>(reserved);
    uint64_t h = target_id;
    for (uint64_t c : C) {
        h = mix(h + c);
        const uint64_t bit = h % 512;
        bytes[bit >> 3] |= uint8_t(1u << (bit & 7));
    }
}

} // namespace tkg
