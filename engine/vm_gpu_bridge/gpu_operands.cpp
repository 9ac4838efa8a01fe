#include "gpu_operands.h"

#include "vm_gpu.h"

#include <cstring>

namespace vmgpu {

bool place_space(Submission& sub, uint64_t bytes, Placed& out) {
    BridgeState& s = bridge();
    if (arena_slot(bytes, out.off)) {
        out.buf = s.arena;
        return true;
    }
    GpuBuffer* b = buffer_create(s.dev, bytes);
    if (!b) return false;
    sub.keep(b);
    buffer_release(s.dev, b); // the submission's reference keeps it
    out = {b, 0};
    return true;
}

bool place_copy(Submission& sub, const void* host, uint64_t bytes, bool use_arena, Placed& out) {
    BridgeState& s = bridge();
    if (use_arena && arena_slot(bytes, out.off)) {
        out.buf = s.arena;
    } else {
        GpuBuffer* b = buffer_create(s.dev, bytes);
        if (!b) return false;
        sub.keep(b);
        buffer_release(s.dev, b);
        out = {b, 0};
    }
    std::memcpy(out.buf->host + out.off, host, bytes);
    return true;
}

bool place_padded_in_arena(const float* b, uint32_t K, uint32_t N, uint32_t Np, Placed& out) {
    if (!arena_slot(uint64_t(K) * Np * 4, out.off)) return false;
    out.buf = bridge().arena;
    auto* dst = reinterpret_cast<float*>(out.buf->host + out.off);
    for (uint32_t k = 0; k < K; ++k) {
        std::memcpy(dst + uint64_t(k) * Np, b + uint64_t(k) * N, size_t(N) * 4);
        std::memset(dst + uint64_t(k) * Np + N, 0, size_t(Np - N) * 4);
    }
    return true;
}

void copy_out(const GpuBuffer* src, uint64_t off, uint32_t Np, float* c, uint32_t M, uint32_t N) {
    const auto* from = reinterpret_cast<const float*>(src->host + off);
    for (uint32_t m = 0; m < M; ++m) std::memcpy(c + uint64_t(m) * N, from + uint64_t(m) * Np, size_t(N) * 4);
    vmb_sanitize_f32(c, size_t(M) * N);
}

} // namespace vmgpu
