// The typed weight × activation products: path choice between the tile and
// fused-lane paths and the per-element or row-tiled kernels, and the float32
// tiled product.
#include "vm_gpu.h"

#include "common/engine_log.h"
#include "gpu_operands.h"
#include "gpu_tile_paths.h"

#include <cstring>

using namespace vmgpu;

namespace {

bool quant_matmul(Kernel k, unsigned type, GpuBuffer* a_buf, size_t a_off, const void* a_host, size_t a_bytes,
                  GpuBuffer* b_buf, size_t b_off, const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N,
                  bool row_n) {
    if (!ensure_ready()) return false;
    if (!has(k)) {
        vm::log_line("[vmb] quant pipeline unavailable");
        return false;
    }
    const uint32_t qk = block_shape(type).weights;
    if (!c || M == 0 || K == 0 || N == 0 || K % qk != 0 || (!a_buf && !a_host) || (!b_buf && !b_host)) return false;
    const uint64_t a_extent = quant_rows_bytes(type, M, K);
    const uint64_t b_bytes = uint64_t(K) * N * 4, c_bytes = uint64_t(M) * N * 4;
    if (!a_buf && a_bytes < a_extent) return false;
    const Groups groups = row_n ? Groups{ceil_div(M, 64), 1, 1} : Groups{ceil_div(N, 16), ceil_div(M, 16), 1};
    Batch* batch = open_batch();
    std::unique_ptr<Submission> own;
    if (!batch) {
        own = std::make_unique<Submission>(bridge().dev);
        if (!own->ok()) return false;
    }
    Submission& sub = batch ? *batch->submission : *own;
    // Synchronous products copy host weights into a buffer of their own, never
    // into the arena.
    Placed a{a_buf, a_off}, b{b_buf, b_off}, out;
    if ((!a_buf && !place_copy(sub, a_host, a_bytes, batch != nullptr, a)) ||
        (!b_buf && !place_copy(sub, b_host, b_bytes, true, b)) || !place_space(sub, c_bytes, out))
        return false;
    if (!sub.dispatch(k, {{a.buf, a.off, a_extent, true}, {b.buf, b.off, b_bytes}, {out.buf, out.off, c_bytes}},
                      {M, K, N}, groups))
        return false;
    if (batch) {
        batch->copies.push_back({c, out.buf, out.off, c_bytes});
        return true;
    }
    if (!sub.submit_and_wait()) return false;
    breathe();
    copy_out(out.buf, out.off, N, c, M, N);
    return true;
}

// The shared shape of the Q4_K and Q6_K entry points.
bool k_quant_product(unsigned type, void* a_buf_v, size_t a_off, const void* a_host, size_t a_bytes, void* b_buf_v,
                     size_t b_off, const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N) {
    auto* a_buf = static_cast<GpuBuffer*>(a_buf_v);
    auto* b_buf = static_cast<GpuBuffer*>(b_buf_v);
    const bool q4 = type == kTypeQ4_K;
    const Kernel dq = q4 ? Kernel::dequant_q4k_f16 : Kernel::dequant_q6k_f16;
    bool try_tiles = N >= 8 || (N >= 1 && small_n_allowed());
    try_tiles = try_tiles && c && b_host && !b_buf && M && K % 256 == 0 && (a_buf || a_host);
    if (!q4) try_tiles = try_tiles && has(Kernel::matmul_f16_sg) && has(dq);
    if (try_tiles) {
        bool done;
        if (open_batch()) {
            done = (q4 && fused_lane_batched(type, a_buf, a_off, a_host, a_bytes, b_host, c, M, K, N)) ||
                   (a_buf ? vm_gpu_matmul_q_sg_batched_zc(type, a_buf, a_off, a_bytes, b_host, c, M, K, N)
                          : vm_gpu_matmul_q_sg_batched(type, a_host, a_bytes, b_host, c, M, K, N));
        } else {
            done = (q4 && fused_lane_sync(type, a_buf, a_off, a_host, a_bytes, b_host, c, M, K, N)) ||
                   (has(Kernel::matmul_f16_sg) && has(dq) &&
                    two_pass_sync(type, a_buf, a_off, a_host, a_bytes, b_host, c, M, K, N));
        }
        if (done) {
            count_hit();
            return true;
        }
    }
    count_miss();
    const Kernel row_kernel = q4 ? Kernel::matmul_q4_k_rowN : Kernel::matmul_q6_k_rowN;
    if (N >= 1 && N <= 16 && has(row_kernel))
        return quant_matmul(row_kernel, type, a_buf, a_off, a_host, a_bytes, b_buf, b_off, b_host, c, M, K, N, true);
    return quant_matmul(q4 ? Kernel::matmul_q4_k : Kernel::matmul_q6_k, type, a_buf, a_off, a_host, a_bytes, b_buf,
                        b_off, b_host, c, M, K, N, false);
}

} // namespace

extern "C" {

int vm_gpu_matmul(void* a_buf_v, size_t a_off, const float* a_host, void* b_buf_v, size_t b_off, const float* b_host,
                  float* c, uint32_t M, uint32_t K, uint32_t N) {
    if (!ensure_ready()) return 0;
    if (!has(Kernel::matmul_tiled)) {
        vm::log_line("[vmb] matmul pipeline unavailable");
        return 0;
    }
    auto* a_buf = static_cast<GpuBuffer*>(a_buf_v);
    auto* b_buf = static_cast<GpuBuffer*>(b_buf_v);
    if (!c || M == 0 || K == 0 || N == 0 || (!a_buf && !a_host) || (!b_buf && !b_host)) return 0;
    const uint64_t a_bytes = uint64_t(M) * K * 4, b_bytes = uint64_t(K) * N * 4, c_bytes = uint64_t(M) * N * 4;
    // Its own submission even inside a batch; the arena is not used.
    Submission sub(bridge().dev);
    Placed a{a_buf, a_off}, b{b_buf, b_off}, out;
    if (!sub.ok() || (!a_buf && !place_copy(sub, a_host, a_bytes, false, a)) ||
        (!b_buf && !place_copy(sub, b_host, b_bytes, false, b)))
        return 0;
    GpuBuffer* cb = buffer_create(bridge().dev, c_bytes);
    if (!cb) return 0;
    sub.keep(cb);
    buffer_release(bridge().dev, cb);
    if (!sub.dispatch(Kernel::matmul_tiled, {{a.buf, a.off, a_bytes}, {b.buf, b.off, b_bytes}, {cb, 0, c_bytes}},
                      {M, K, N}, {ceil_div(N, 16), ceil_div(M, 16), 1}) ||
        !sub.submit_and_wait())
        return 0;
    std::memcpy(c, cb->host, c_bytes); // not sanitised
    return 1;
}

bool vm_gpu_matmul_q4_k(void* a_buf, size_t a_off, const void* a_host, size_t a_bytes, void* b_buf, size_t b_off,
                        const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N) {
    if (!ensure_ready()) return false;
    return k_quant_product(kTypeQ4_K, a_buf, a_off, a_host, a_bytes, b_buf, b_off, b_host, c, M, K, N);
}

bool vm_gpu_matmul_q6_k(void* a_buf, size_t a_off, const void* a_host, size_t a_bytes, void* b_buf, size_t b_off,
                        const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N) {
    ensure_ready(); // goes on regardless: the fallback then fails
    return k_quant_product(kTypeQ6_K, a_buf, a_off, a_host, a_bytes, b_buf, b_off, b_host, c, M, K, N);
}

bool vm_gpu_matmul_q8_0(void* a_buf_v, size_t a_off, const void* a_host, size_t a_bytes, void* b_buf_v,
                        size_t b_off, const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N) {
    ensure_ready();
    auto* a_buf = static_cast<GpuBuffer*>(a_buf_v);
    auto* b_buf = static_cast<GpuBuffer*>(b_buf_v);
    const bool direct = N == 0 || (N < 8 && !small_n_allowed()) || !c || !b_host || b_buf || M == 0 || K % 32 != 0 ||
                        (!a_buf && !a_host);
    if (!direct) {
        bool done;
        if (open_batch()) {
            done = fused_lane_batched(kTypeQ8_0, a_buf, a_off, a_host, a_bytes, b_host, c, M, K, N);
        } else {
            done = fused_lane_sync(kTypeQ8_0, a_buf, a_off, a_host, a_bytes, b_host, c, M, K, N) ||
                   (has(Kernel::matmul_f16_sg) && has(Kernel::dequant_q8_0_f16) &&
                    two_pass_sync(kTypeQ8_0, a_buf, a_off, a_host, a_bytes, b_host, c, M, K, N));
        }
        if (done) {
            count_hit();
            return true;
        }
        count_miss();
    }
    return quant_matmul(Kernel::matmul_q8_0, kTypeQ8_0, a_buf, a_off, a_host, a_bytes, b_buf, b_off, b_host, c, M, K,
                        N, false);
}

bool vm_gpu_matmul_q5_0(void* a_buf, size_t a_off, const void* a_host, size_t a_bytes, void* b_buf, size_t b_off,
                        const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N) {
    ensure_ready();
    return quant_matmul(Kernel::matmul_q5_0, kTypeQ5_0, static_cast<GpuBuffer*>(a_buf), a_off, a_host, a_bytes,
                        static_cast<GpuBuffer*>(b_buf), b_off, b_host, c, M, K, N, false);
}

} // extern "C"
