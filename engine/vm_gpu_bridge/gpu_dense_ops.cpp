// The dense decode step's layer operations: one dispatch each into the open
// batch, without barriers.
#include "vm_gpu.h"

#include "gpu_operands.h"

#include <bit>
#include <cmath>

using namespace vmgpu;

namespace {

GpuBuffer* B(void* p) { return static_cast<GpuBuffer*>(p); }

uint32_t fbits(float f) { return std::bit_cast<uint32_t>(f); }

void encode(Kernel k, std::initializer_list<Operand> ops, std::initializer_list<uint32_t> consts, Groups g) {
    Batch* batch = open_batch();
    if (!batch || !has(k)) return;
    for (const Operand& op : ops)
        if (!op.buf) return;
    batch->submission->dispatch(k, ops, consts, g);
}

} // namespace

extern "C" {

void vmb_f_rmsnorm(void* x, size_t x_off, void* w, size_t w_off, void* out, size_t out_off, uint32_t n, float eps) {
    const uint64_t bytes = uint64_t(n) * 4;
    encode(Kernel::rmsnorm, {{B(x), x_off, bytes}, {B(w), w_off, bytes}, {B(out), out_off, bytes}}, {n, fbits(eps)},
           {1, 1, 1});
}

void vmb_f_rope(void* in, size_t in_off, void* bias, size_t bias_off, uint32_t has_bias, void* out, size_t out_off,
                uint32_t heads, uint32_t head_dim, uint32_t pos, float theta) {
    const uint64_t bytes = uint64_t(heads) * head_dim * 4;
    const bool with_bias = bias && has_bias;
    // Without a bias the input fills its binding; the kernel does not read it.
    Operand b = with_bias ? Operand{B(bias), bias_off, bytes} : Operand{B(in), in_off, bytes};
    const float log2_theta = float(std::log2(double(theta)));
    encode(Kernel::rope_bias, {{B(in), in_off, bytes}, b, {B(out), out_off, bytes}},
           {heads, head_dim, pos, fbits(theta), with_bias ? 1u : 0u, fbits(log2_theta)},
           {ceil_div(uint64_t(heads) * (head_dim / 2), 64), 1, 1});
}

void vmb_f_addbias(void* in, size_t in_off, void* bias, size_t bias_off, uint32_t has_bias, void* out,
                   size_t out_off, uint32_t n) {
    const uint64_t bytes = uint64_t(n) * 4;
    const bool with_bias = bias && has_bias;
    Operand b = with_bias ? Operand{B(bias), bias_off, bytes} : Operand{B(in), in_off, bytes};
    encode(Kernel::add_bias_k, {{B(in), in_off, bytes}, b, {B(out), out_off, bytes}}, {n, with_bias ? 1u : 0u},
           {ceil_div(n, 64), 1, 1});
}

void vmb_f_attention(void* q, size_t q_off, void* k_cache, size_t k_off, void* v_cache, size_t v_off, void* out,
                     size_t out_off, uint32_t cnt, uint32_t head_dim, uint32_t kv_dim, uint32_t group,
                     uint32_t n_heads) {
    // The kernel's accumulator holds 128 floats: a wider head is refused and
    // the caller keeps its CPU route.
    if (head_dim > 128) return;
    const uint64_t q_bytes = uint64_t(n_heads) * head_dim * 4, kv_bytes = uint64_t(cnt) * kv_dim * 4;
    encode(Kernel::gqa_attention,
           {{B(q), q_off, q_bytes}, {B(k_cache), k_off, kv_bytes}, {B(v_cache), v_off, kv_bytes},
            {B(out), out_off, q_bytes}},
           {cnt, head_dim, kv_dim, group, n_heads}, {ceil_div(n_heads, 32), 1, 1});
}

void vmb_f_silu(void* gate, size_t gate_off, void* up, size_t up_off, void* out, size_t out_off, uint32_t n) {
    const uint64_t bytes = uint64_t(n) * 4;
    encode(Kernel::silu_mul, {{B(gate), gate_off, bytes}, {B(up), up_off, bytes}, {B(out), out_off, bytes}}, {n},
           {ceil_div(n, 128), 1, 1});
}

void vmb_f_residual(void* x, size_t x_off, void* y, size_t y_off, uint32_t n) {
    const uint64_t bytes = uint64_t(n) * 4;
    encode(Kernel::residual_add, {{B(x), x_off, bytes}, {B(y), y_off, bytes}}, {n}, {ceil_div(n, 128), 1, 1});
}

void vmb_f_argmax(void* logits, size_t logits_off, void* out, size_t out_off, uint32_t n) {
    encode(Kernel::argmax_logits, {{B(logits), logits_off, uint64_t(n) * 4}, {B(out), out_off, 4}}, {n}, {1, 1, 1});
}

void vmb_f_quantize_int8(void* x, size_t x_off, void* q, size_t q_off, void* sx, size_t sx_off, uint32_t K,
                         uint32_t Kpad) {
    encode(Kernel::quantize_int8_absmax,
           {{B(x), x_off, uint64_t(K) * 4}, {B(q), q_off, (uint64_t(Kpad) + 3) / 4 * 4}, {B(sx), sx_off, 4}},
           {K, Kpad}, {1, 1, 1});
}

void vmb_f_billm(void* b1, size_t b1_off, void* xq, size_t xq_off, void* sx, size_t sx_off, void* alpha,
                 size_t alpha_off, void* beta, size_t beta_off, void* sal_cols, size_t sal_off, void* b2, size_t b2_off,
                 void* out, size_t out_off, void* acc1, size_t acc1_off, void* acc2, size_t acc2_off, uint32_t M,
                 uint32_t in_pad, uint32_t n_sal) {
    const uint64_t rows = uint64_t(M) * 4;
    encode(Kernel::billm_matmul_1_08b,
           {{B(b1), b1_off, uint64_t(M) * (in_pad / 8), true},
            {B(xq), xq_off, in_pad, true},
            {B(sx), sx_off, 4},
            {B(alpha), alpha_off, rows},
            {B(beta), beta_off, rows},
            {B(sal_cols), sal_off, uint64_t(n_sal) * 4},
            {B(b2), b2_off, uint64_t(M) * ((n_sal + 7) / 8), true},
            {B(out), out_off, rows},
            {B(acc1), acc1_off, rows},
            {B(acc2), acc2_off, rows}},
           {M, in_pad, n_sal}, {ceil_div(M, 64), 1, 1});
}

} // extern "C"
