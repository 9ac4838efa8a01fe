#include "gpu_kernels.h"

namespace vmgpu {

const char* kernel_name(Kernel k) {
    static const char* const names[kKernelCount] = {
        "kv_score",          "cold_gemv",        "matmul_tiled",       "matmul_q4_k",      "matmul_q5_0",
        "matmul_q8_0",       "matmul_q6_k",      "matmul_q4_k_rowN",   "matmul_q6_k_rowN", "dequant_q4k_f16",
        "dequant_q6k_f16",   "dequant_q8_0_f16", "matmul_f16_sg",      "fused_q4k_lane_sg", "fused_q8_lane_sg",
        "sg_unpad_c",        "rmsnorm",          "rope_bias",          "add_bias_k",       "gqa_attention",
        "silu_mul",          "residual_add",     "argmax_logits",      "quantize_int8_absmax",
        "ternary_matmul_2b", "billm_matmul_1_08b", "teal_threshold",
    };
    return names[size_t(k)];
}

BlockShape block_shape(unsigned type) {
    switch (type) {
    case kTypeQ5_0: return {32, 22};
    case kTypeQ8_0: return {32, 34};
    case kTypeQ4_K: return {256, 144};
    case kTypeQ6_K: return {256, 210};
    default: return {0, 0};
    }
}

} // namespace vmgpu
