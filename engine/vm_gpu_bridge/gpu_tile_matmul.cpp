// 8×8 tile products: the two-pass form (a dequantiser writes float rows, then
// matmul_f16_sg) and the fused lanes, synchronous and batched; the dense
// path's in-batch product and the TEAL threshold.
#include "vm_gpu.h"

#include "common/engine_env.h"
#include "common/engine_log.h"
#include "gpu_operands.h"
#include "gpu_tile_paths.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace vmgpu {

namespace {

bool switch_on(const char* name) {
    const auto v = vm::env_value(name);
    return !v || (*v)[0] != '0';
}

// Grow-only scratch buffers. A replaced buffer lives on while an open batch
// still holds it.
enum Slot { kACopy, kF, kB, kC, kSlots };
GpuBuffer* g_scratch[kSlots] = {};

GpuBuffer* ensure_buf(Slot slot, uint64_t need) {
    BridgeState& s = bridge();
    GpuBuffer*& b = g_scratch[slot];
    if (b && b->size >= need) return b;
    if (b) buffer_release(s.dev, b);
    b = buffer_create(s.dev, need);
    return b;
}

Kernel fused_kernel(unsigned type) {
    return type == kTypeQ4_K ? Kernel::fused_q4k_lane_sg : type == kTypeQ8_0 ? Kernel::fused_q8_lane_sg : Kernel::count;
}

Kernel dequant_kernel(unsigned type) {
    switch (type) {
    case kTypeQ4_K: return Kernel::dequant_q4k_f16;
    case kTypeQ6_K: return Kernel::dequant_q6k_f16;
    case kTypeQ8_0: return Kernel::dequant_q8_0_f16;
    default: return Kernel::count;
    }
}

bool has_kernel(Kernel k) { return k != Kernel::count && has(k); }

bool common_ok(unsigned type, const void* a_buf, const void* a_host, const float* b, const float* c, uint32_t M,
               uint32_t K, uint32_t N) {
    const uint32_t qk = block_shape(type).weights;
    return qk && b && c && M && K && N && K % qk == 0 && (a_buf || a_host);
}

// The weights: a_buf at a_off, or the A-copy scratch filled from a_host.
bool weights_operand(unsigned type, GpuBuffer* a_buf, size_t a_off, const void* a_host, size_t a_bytes, uint32_t M,
                     uint32_t K, Operand& out) {
    const uint64_t extent = quant_rows_bytes(type, M, K);
    if (a_buf) {
        out = {a_buf, a_off, extent, true};
        return true;
    }
    if (a_bytes < extent) return false;
    GpuBuffer* copy = ensure_buf(kACopy, a_bytes);
    if (!copy) return false;
    std::memcpy(copy->host, a_host, a_bytes);
    out = {copy, 0, extent, true};
    return true;
}

bool fill_padded_scratch(const float* b, uint32_t K, uint32_t N, uint32_t Np, GpuBuffer*& out) {
    out = ensure_buf(kB, uint64_t(K) * Np * 4);
    if (!out) return false;
    auto* dst = reinterpret_cast<float*>(out->host);
    for (uint32_t k = 0; k < K; ++k) {
        std::memcpy(dst + uint64_t(k) * Np, b + uint64_t(k) * N, size_t(N) * 4);
        std::memset(dst + uint64_t(k) * Np + N, 0, size_t(Np - N) * 4);
    }
    return true;
}

Groups dequant_groups(unsigned type, uint32_t M, uint32_t K) {
    return {ceil_div(K / block_shape(type).weights, 8), ceil_div(M, 8), 1};
}

// The arena slots of a batched product, in order: the weights (a host copy
// only), the zero-padded activations, the padded result, the result.
struct BatchedSlots {
    Placed w, act, padded, out;
};

bool reserve_batched(unsigned type, GpuBuffer* a_buf, size_t a_off, const void* a_host, size_t a_bytes,
                     const float* b, uint32_t M, uint32_t K, uint32_t N, BatchedSlots& s) {
    const uint32_t Mp = round8(M), Np = round8(N);
    s.w = {a_buf, a_off};
    if (!a_buf) {
        if (a_bytes < quant_rows_bytes(type, M, K) || !arena_slot(a_bytes, s.w.off)) return false;
        s.w.buf = bridge().arena;
        std::memcpy(s.w.buf->host + s.w.off, a_host, a_bytes);
    }
    if (!place_padded_in_arena(b, K, N, Np, s.act) || !arena_slot(uint64_t(Mp) * Np * 4, s.padded.off) ||
        !arena_slot(uint64_t(M) * N * 4, s.out.off))
        return false;
    s.padded.buf = s.out.buf = bridge().arena;
    return true;
}

// matmul_f16_sg over the float weights f (Mp×K) and the padded activations.
bool encode_tile_product(Submission& sub, GpuBuffer* f, Placed act, Placed padded, uint32_t Mp, uint32_t K,
                         uint32_t Np) {
    return sub.dispatch(Kernel::matmul_f16_sg,
                        {{f, 0, uint64_t(Mp) * K * 4}, {act.buf, act.off, uint64_t(K) * Np * 4},
                         {padded.buf, padded.off, uint64_t(Mp) * Np * 4}},
                        {Mp, K, Np}, {Np / 8, Mp / 8, 1});
}

// Cuts the padded result to M×N into out, behind a barrier.
bool encode_unpad(Submission& sub, Placed padded, Placed out, uint32_t M, uint32_t N, uint32_t Np) {
    if (!sub.dispatch(Kernel::sg_unpad_c,
                      {{padded.buf, padded.off, uint64_t(M) * Np * 4}, {out.buf, out.off, uint64_t(M) * N * 4}},
                      {M, N, Np}, {ceil_div(N, 16), ceil_div(M, 16), 1}))
        return false;
    sub.barrier();
    return true;
}

// Two-pass product inside the open batch (types 12, 14), weights from a_buf at
// a_off or from a_host copied into the arena.
bool two_pass_batched(unsigned type, GpuBuffer* a_buf, size_t a_off, const void* a_host, size_t a_bytes,
                      const float* b, float* c, uint32_t M, uint32_t K, uint32_t N) {
    Batch* batch = open_batch();
    const Kernel dq = (type == kTypeQ4_K || type == kTypeQ6_K) ? dequant_kernel(type) : Kernel::count;
    if (!batch || !has_kernel(dq) || !has(Kernel::matmul_f16_sg) || !has(Kernel::sg_unpad_c) ||
        !common_ok(type, a_buf, a_host, b, c, M, K, N) || !bridge().arena)
        return false;
    const uint32_t Mp = round8(M), Np = round8(N);
    BatchedSlots s;
    if (!reserve_batched(type, a_buf, a_off, a_host, a_bytes, b, M, K, N, s)) return false;
    GpuBuffer* f = ensure_buf(kF, uint64_t(K) * Mp * 4);
    if (!f) return false;
    Submission& sub = *batch->submission;
    if (!sub.dispatch(dq, {{s.w.buf, s.w.off, quant_rows_bytes(type, M, K), true}, {f, 0, uint64_t(M) * K * 4}},
                      {M, K}, dequant_groups(type, M, K)))
        return false;
    sub.barrier();
    if (!encode_tile_product(sub, f, s.act, s.padded, Mp, K, Np)) return false;
    sub.barrier();
    if (!encode_unpad(sub, s.padded, s.out, M, N, Np)) return false;
    batch->copies.push_back({c, s.out.buf, s.out.off, uint64_t(M) * N * 4});
    return true;
}

const char* failure_text() { return bridge().ready.load() ? "submission or wait failed" : "device lost"; }

} // namespace

bool small_n_allowed() {
    static const bool on = switch_on("VIVIROV_GPU_N1");
    return on;
}

bool fused_lane_enabled() {
    static const bool on = switch_on("VIVIROV_FUSED_LANE");
    return on;
}

bool fused_lane_sync(unsigned type, GpuBuffer* a_buf, size_t a_off, const void* a_host, size_t a_bytes,
                     const float* b, float* c, uint32_t M, uint32_t K, uint32_t N) {
    const Kernel k = fused_kernel(type);
    if (!fused_lane_enabled() || !ensure_ready() || !has_kernel(k) || !common_ok(type, a_buf, a_host, b, c, M, K, N) ||
        (N < 8 && !small_n_allowed()) || open_batch())
        return false;
    const uint32_t Mp = round8(M), Np = round8(N);
    Operand w;
    GpuBuffer* bs = nullptr;
    GpuBuffer* cs = ensure_buf(kC, uint64_t(Mp) * Np * 4);
    if (!cs || !weights_operand(type, a_buf, a_off, a_host, a_bytes, M, K, w) || !fill_padded_scratch(b, K, N, Np, bs))
        return false;
    Submission sub(bridge().dev);
    if (!sub.ok() || !sub.dispatch(k, {w, {bs, 0, uint64_t(K) * Np * 4}, {cs, 0, uint64_t(Mp) * Np * 4}}, {M, K, Np},
                                   {Np / 8, ceil_div(M, 8), 1}))
        return false;
    if (!sub.submit_and_wait()) {
        if (type == kTypeQ4_K) vm::log_line("[vmb] HOLY_GRAIL fused_q4k error: %s — two-pass fallback", failure_text());
        else vm::log_line("[vmb] HOLY_GRAIL fused_q8 error: %s -- two-pass fallback", failure_text());
        return false;
    }
    breathe();
    copy_out(cs, 0, Np, c, M, N);
    return true;
}

bool two_pass_sync(unsigned type, GpuBuffer* a_buf, size_t a_off, const void* a_host, size_t a_bytes,
                   const float* b, float* c, uint32_t M, uint32_t K, uint32_t N) {
    if (open_batch() || !ensure_ready()) return false;
    const Kernel dq = dequant_kernel(type);
    if (!has_kernel(dq) || !has(Kernel::matmul_f16_sg) || !common_ok(type, a_buf, a_host, b, c, M, K, N) ||
        (N < 8 && !small_n_allowed()))
        return false;
    const uint32_t Mp = round8(M), Np = round8(N);
    Operand w;
    GpuBuffer* bs = nullptr;
    GpuBuffer* f = ensure_buf(kF, uint64_t(Mp) * K * 4);
    GpuBuffer* cs = f ? ensure_buf(kC, uint64_t(Mp) * Np * 4) : nullptr;
    if (!cs || !weights_operand(type, a_buf, a_off, a_host, a_bytes, M, K, w) || !fill_padded_scratch(b, K, N, Np, bs))
        return false;
    if (M < Mp) std::memset(f->host + uint64_t(M) * K * 4, 0, size_t(Mp - M) * K * 4);
    Submission sub(bridge().dev);
    if (!sub.ok() || !sub.dispatch(dq, {w, {f, 0, uint64_t(M) * K * 4}}, {M, K}, dequant_groups(type, M, K)))
        return false;
    sub.barrier();
    if (!encode_tile_product(sub, f, {bs, 0}, {cs, 0}, Mp, K, Np)) return false;
    if (!sub.submit_and_wait()) {
        vm::log_line("[vmb] PHASE7 SG error: %s — CPU fallback", failure_text());
        count_miss();
        return false;
    }
    breathe();
    copy_out(cs, 0, Np, c, M, N);
    return true;
}

bool fused_lane_batched(unsigned type, GpuBuffer* a_buf, size_t a_off, const void* a_host, size_t a_bytes,
                        const float* b, float* c, uint32_t M, uint32_t K, uint32_t N) {
    Batch* batch = open_batch();
    const Kernel k = fused_kernel(type);
    if (!batch || !fused_lane_enabled() || !bridge().ready.load() || !has_kernel(k) || !has(Kernel::sg_unpad_c) ||
        !bridge().arena || !common_ok(type, a_buf, a_host, b, c, M, K, N) || (N < 8 && !small_n_allowed()))
        return false;
    const uint32_t Np = round8(N);
    BatchedSlots s;
    if (!reserve_batched(type, a_buf, a_off, a_host, a_bytes, b, M, K, N, s)) return false;
    Submission& sub = *batch->submission;
    if (!sub.dispatch(k,
                      {{s.w.buf, s.w.off, quant_rows_bytes(type, M, K), true},
                       {s.act.buf, s.act.off, uint64_t(K) * Np * 4},
                       {s.padded.buf, s.padded.off, uint64_t(round8(M)) * Np * 4}},
                      {M, K, Np}, {Np / 8, ceil_div(M, 8), 1}))
        return false;
    sub.barrier();
    if (!encode_unpad(sub, s.padded, s.out, M, N, Np)) return false;
    batch->copies.push_back({c, s.out.buf, s.out.off, uint64_t(M) * N * 4});
    return true;
}

} // namespace vmgpu

using namespace vmgpu;

extern "C" {

bool vm_gpu_matmul_q_sg(uint32_t type, const void* a_host, size_t a_bytes, const float* b, float* c, uint32_t M,
                        uint32_t K, uint32_t N) {
    if (type == kTypeQ4_K && fused_lane_sync(type, nullptr, 0, a_host, a_bytes, b, c, M, K, N)) return true;
    return two_pass_sync(type, nullptr, 0, a_host, a_bytes, b, c, M, K, N);
}

bool vm_gpu_matmul_q_sg_batched(uint32_t type, const void* a_host, size_t a_bytes, const float* b, float* c,
                                uint32_t M, uint32_t K, uint32_t N) {
    if (!open_batch()) return vm_gpu_matmul_q_sg(type, a_host, a_bytes, b, c, M, K, N);
    if ((type == kTypeQ4_K || type == kTypeQ8_0) && fused_lane_batched(type, nullptr, 0, a_host, a_bytes, b, c, M, K, N))
        return true;
    return two_pass_batched(type, nullptr, 0, a_host, a_bytes, b, c, M, K, N);
}

bool vm_gpu_matmul_q_sg_batched_zc(uint32_t type, void* a_buf, size_t a_off, size_t a_bytes, const float* b,
                                   float* c, uint32_t M, uint32_t K, uint32_t N) {
    if (!ensure_ready()) return false;
    GpuBuffer* w = a_buf ? static_cast<GpuBuffer*>(a_buf) : bridge().ring;
    if (!w || a_off > w->size) return false;
    if (!open_batch()) return vm_gpu_matmul_q_sg_batched(type, w->host + a_off, a_bytes, b, c, M, K, N);
    if ((type == kTypeQ4_K || type == kTypeQ8_0) && fused_lane_batched(type, w, a_off, nullptr, a_bytes, b, c, M, K, N))
        return true;
    return two_pass_batched(type, w, a_off, nullptr, a_bytes, b, c, M, K, N);
}

bool vmb_f_matmul_sg(uint32_t type, void* w_buf, size_t w_off, void* x_buf, size_t x_off, void* y_buf,
                     size_t y_off, uint32_t M, uint32_t K, uint32_t N) {
    Batch* batch = open_batch();
    const Kernel dq = (type == kTypeQ4_K || type == kTypeQ6_K) ? dequant_kernel(type) : Kernel::count;
    if (!batch || !has_kernel(dq) || !has(Kernel::matmul_f16_sg) || !has(Kernel::sg_unpad_c) || !w_buf || !x_buf ||
        !y_buf || K % 256 != 0 || M == 0 || N == 0)
        return false;
    auto* w = static_cast<GpuBuffer*>(w_buf);
    auto* x = static_cast<GpuBuffer*>(x_buf);
    auto* y = static_cast<GpuBuffer*>(y_buf);
    const uint32_t Mp = round8(M), Np = round8(N);
    GpuBuffer* f = ensure_buf(kF, uint64_t(K) * Mp * 4);
    if (!f) return false;
    Submission& sub = *batch->submission;
    // The activation operand: X itself, or a per-product K×Np copy with zero
    // pad columns, made on the GPU after the work that writes X.
    Placed act{x, x_off};
    if (N != Np) {
        if (x_off % 4 != 0 || x_off + uint64_t(K) * N * 4 > x->size || !arena_slot(uint64_t(K) * Np * 4, act.off))
            return false;
        act.buf = bridge().arena;
        sub.barrier();
        sub.fill_zero(act.buf, act.off, uint64_t(K) * Np * 4);
        sub.barrier();
        sub.copy_rows(x, x_off, uint64_t(N) * 4, act.buf, act.off, uint64_t(Np) * 4, uint64_t(N) * 4, K);
        sub.barrier();
    }
    GpuBuffer* cs = ensure_buf(kC, uint64_t(Mp) * Np * 4);
    if (!cs) return false;
    if (!sub.dispatch(dq, {{w, w_off, quant_rows_bytes(type, M, K), true}, {f, 0, uint64_t(M) * K * 4}}, {M, K},
                      dequant_groups(type, M, K)))
        return false;
    sub.barrier();
    if (!encode_tile_product(sub, f, act, {cs, 0}, Mp, K, Np)) return false;
    sub.barrier();
    if (!encode_unpad(sub, {cs, 0}, {y, y_off}, M, N, Np)) return false;
    count_hit();
    return true;
}

bool vmb_f_matmul(uint32_t type, void* w_buf, size_t w_off, void* x_buf, size_t x_off, void* y_buf, size_t y_off,
                  uint32_t M, uint32_t K, uint32_t N) {
    Batch* batch = open_batch();
    if (!batch) return false;
    if (K % 256 == 0 && (type == kTypeQ4_K || type == kTypeQ6_K) && M && N &&
        vmb_f_matmul_sg(type, w_buf, w_off, x_buf, x_off, y_buf, y_off, M, K, N))
        return true;
    Kernel k = type == kTypeQ5_0   ? Kernel::matmul_q5_0
               : type == kTypeQ8_0 ? Kernel::matmul_q8_0
               : type == kTypeQ4_K ? Kernel::matmul_q4_k
               : type == kTypeQ6_K ? Kernel::matmul_q6_k
                                   : Kernel::count;
    const uint32_t qk = block_shape(type).weights;
    if (!has_kernel(k) || !w_buf || !x_buf || !y_buf || M == 0 || N == 0 || K == 0 || K % qk != 0) return false;
    if (!batch->submission->dispatch(k,
                                     {{static_cast<GpuBuffer*>(w_buf), w_off, quant_rows_bytes(type, M, K), true},
                                      {static_cast<GpuBuffer*>(x_buf), x_off, uint64_t(K) * N * 4},
                                      {static_cast<GpuBuffer*>(y_buf), y_off, uint64_t(M) * N * 4}},
                                     {M, K, N}, {ceil_div(N, 16), ceil_div(M, 16), 1}))
        return false;
    count_miss();
    return true;
}

bool vm_gpu_teal_threshold(float* x, uint32_t n, float epsilon, uint32_t* nnz_out) {
    if (!ensure_ready() || !has(Kernel::teal_threshold) || n == 0 || !x) return false;
    BridgeState& s = bridge();
    Submission sub(s.dev);
    if (!sub.ok()) return false;
    GpuBuffer* xb = buffer_create(s.dev, uint64_t(n) * 4);
    GpuBuffer* nb = buffer_create(s.dev, 4);
    bool ok = xb && nb;
    if (ok) {
        std::memcpy(xb->host, x, size_t(n) * 4);
        std::memset(nb->host, 0, 4);
        ok = sub.dispatch(Kernel::teal_threshold, {{xb, 0, uint64_t(n) * 4}, {nb, 0, 4}},
                          {n, std::bit_cast<uint32_t>(epsilon)}, {ceil_div(n, 256), 1, 1}) &&
             sub.submit_and_wait();
    }
    if (ok) {
        std::memcpy(x, xb->host, size_t(n) * 4);
        if (nnz_out) std::memcpy(nnz_out, nb->host, 4);
    }
    buffer_release(s.dev, xb);
    buffer_release(s.dev, nb);
    return ok;
}

} // extern "C"
