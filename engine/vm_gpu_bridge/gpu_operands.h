#pragma once
// Placement of the host operands and results of one product: arena slots
// (recycled by vmb_arena_reset) or, when the arena cannot hold them, buffers of
// their own that the submission keeps alive.
#include "gpu_bridge.h"

namespace vmgpu {

struct Placed {
    GpuBuffer* buf = nullptr;
    uint64_t off = 0;
};

// bytes of host data copied into an arena slot (when use_arena) or a new buffer.
bool place_copy(Submission& sub, const void* host, uint64_t bytes, bool use_arena, Placed& out);
// An uninitialised region of bytes.
bool place_space(Submission& sub, uint64_t bytes, Placed& out);
// K rows of N floats from b, each followed by Np - N zeros, into an arena slot.
bool place_padded_in_arena(const float* b, uint32_t K, uint32_t N, uint32_t Np, Placed& out);

inline uint32_t round8(uint32_t v) { return (v + 7u) / 8u * 8u; }
inline uint32_t ceil_div(uint64_t v, uint32_t d) { return uint32_t((v + d - 1) / d); }

// Byte length of M rows of K weights of a quantised type.
inline uint64_t quant_rows_bytes(unsigned type, uint32_t M, uint32_t K) {
    BlockShape s = block_shape(type);
    return s.weights ? uint64_t(M) * (K / s.weights) * s.bytes : 0;
}

// M rows of N floats from a result with row stride Np, sanitised.
void copy_out(const GpuBuffer* src, uint64_t off, uint32_t Np, float* c, uint32_t M, uint32_t N);

} // namespace vmgpu
