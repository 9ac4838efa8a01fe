#include "dequant.h"

#include <cstring>

#include "ggml_blocks.h"
#include "kernel_ops.h"

namespace vm {

bool dequant_tensor(uint32_t type, const uint8_t* src, float* dst, uint64_t count) {
    if (!ggml_supported(type)) return false;
    const KernelOps& ops = kernel_ops();
    switch (type) {
    case kGgmlF32:
        if (count) std::memcpy(dst, src, count * 4);
        return true;
    case kGgmlF16:
        ops.widen_f16(src, dst, count);
        return true;
    default: break;
    }
    void (*decode)(const uint8_t*, float*) = type == kGgmlQ5_0   ? ops.deq_q5_0
                                             : type == kGgmlQ8_0 ? ops.deq_q8_0
                                             : type == kGgmlQ4_K ? ops.deq_q4_k
                                             : type == kGgmlQ5_K ? ops.deq_q5_k
                                                                 : ops.deq_q6_k;
    const GgmlBlock g = ggml_block(type);
    for (uint64_t off = 0, b = 0; off < count; off += g.elements, ++b) decode(src + b * g.bytes, dst + off);
    return true;
}

void deq_q8_0(const uint8_t* block, float* out) { kernel_ops().deq_q8_0(block, out); }
void deq_q4_k(const uint8_t* block, float* out) { kernel_ops().deq_q4_k(block, out); }
void deq_q5_k(const uint8_t* block, float* out) { kernel_ops().deq_q5_k(block, out); }
void deq_q6_k(const uint8_t* block, float* out) { kernel_ops().deq_q6_k(block, out); }

} // namespace vm
