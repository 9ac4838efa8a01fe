#pragma once
// Working records of one mixture-of-experts call: the rows routed to each
// expert, and the fused expert tensors of a layer with the place of one
// expert's slice in each.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "../vm_cabi/gguf_file.h"

namespace vm::zov4 {

// (row, weight) pairs of one expert, in row order; a row may appear twice
// when a hash table names the expert twice.
using MoeBucket = std::vector<std::pair<int32_t, float>>;

// Rows of a token-to-experts table of k ids per row: its outer dimension
// (the byte span may include padding).
inline int64_t hash_table_rows_(const GGUFTensor* t, int k) {
    if (!t || k < 1) return 0;
    if (t->dims.size() >= 2 && t->dims[0] == uint64_t(k)) return int64_t(t->dims[1]);
    return int64_t(t->nbytes / sizeof(int32_t)) / k;
}

inline float silu(float z) { return z / (1.0f + std::exp(-z)); }

// A routed expert's activation: w · clampup(up) · silu(clampgate(gate)), the
// clamp only for L > 1e-6.
inline float expert_activation(float up, float gate, float w, float L) {
    if (L > 1e-6f) {
        gate = std::min(gate, L);
        up = std::min(std::max(up, -L), L);
    }
    return w * up * silu(gate);
}

struct FusedExperts {
    const GGUFTensor* t[3] = {nullptr, nullptr, nullptr}; // up, gate, down
    int64_t ff = 0;
    int64_t n_embd = 0;

    bool present() const { return t[0] && t[1] && t[2]; }
    // Bytes of one expert's slice of projection p (0 for an unknown type).
    uint64_t slice_bytes(int p) const;
    const uint8_t* slice(int p, int expert) const;
};

} // namespace vm::zov4
