#pragma once
// Geometry of the GGML tensor encodings the engine reads: elements and bytes
// per block, and the bytes of a row. Every kernel steps through weight rows
// with these numbers; a row of a block type always holds whole blocks.
#include <cstdint>

namespace vm {

enum GgmlType : uint32_t {
    kGgmlF32 = 0,
    kGgmlF16 = 1,
    kGgmlQ5_0 = 6,
    kGgmlQ8_0 = 8,
    kGgmlQ4_K = 12,
    kGgmlQ5_K = 13,
    kGgmlQ6_K = 14,
};

struct GgmlBlock {
    uint32_t elements; // 0 for an unsupported id
    uint32_t bytes;
};

constexpr GgmlBlock ggml_block(uint32_t type) {
    switch (type) {
    case kGgmlF32: return {1, 4};
    case kGgmlF16: return {1, 2};
    case kGgmlQ5_0: return {32, 22};
    case kGgmlQ8_0: return {32, 34};
    case kGgmlQ4_K: return {256, 144};
    case kGgmlQ5_K: return {256, 176};
    case kGgmlQ6_K: return {256, 210};
    default: return {0, 0};
    }
}

constexpr bool ggml_supported(uint32_t type) { return ggml_block(type).elements != 0; }

// Bytes of a row of k elements (k a whole number of blocks).
constexpr uint64_t ggml_row_bytes(uint32_t type, uint64_t k) {
    const GgmlBlock b = ggml_block(type);
    return b.elements ? k / b.elements * b.bytes : 0;
}

} // namespace vm
