#pragma once
// The bridge's kernels, in the order initialisation builds them.
#include <cstddef>

namespace vmgpu {

enum class Kernel {
    kv_score,
    cold_gemv,
    matmul_tiled,
    matmul_q4_k,
    matmul_q5_0,
    matmul_q8_0,
    matmul_q6_k,
    matmul_q4_k_rowN,
    matmul_q6_k_rowN,
    dequant_q4k_f16,
    dequant_q6k_f16,
    dequant_q8_0_f16,
    matmul_f16_sg,
    fused_q4k_lane_sg,
    fused_q8_lane_sg,
    sg_unpad_c,
    rmsnorm,
    rope_bias,
    add_bias_k,
    gqa_attention,
    silu_mul,
    residual_add,
    argmax_logits,
    quantize_int8_absmax,
    ternary_matmul_2b,
    billm_matmul_1_08b,
    teal_threshold,
    count
};

constexpr size_t kKernelCount = size_t(Kernel::count);

const char* kernel_name(Kernel k);

// GGML type ids and block geometry of the quantised weights.
constexpr unsigned kTypeQ5_0 = 6, kTypeQ8_0 = 8, kTypeQ4_K = 12, kTypeQ5_K = 13, kTypeQ6_K = 14;
struct BlockShape {
    unsigned weights; // per block (QK)
    unsigned bytes;   // per block
};
// {0, 0} for a type the bridge does not decode.
BlockShape block_shape(unsigned type);

} // namespace vmgpu
