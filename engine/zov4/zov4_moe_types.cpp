#include "zov4/zov4_moe_types.h"

#include "vm_cabi_v2/ggml_blocks.h"

namespace vm::zov4 {

uint64_t FusedExperts::slice_bytes(int p) const {
    if (!t[p]) return 0;
    const GgmlBlock b = ggml_block(t[p]->type);
    return b.elements ? uint64_t(ff * n_embd) / b.elements * b.bytes : 0;
}

const uint8_t* FusedExperts::slice(int p, int expert) const {
    return t[p] && t[p]->data ? t[p]->data + uint64_t(expert) * slice_bytes(p) : nullptr;
}

} // namespace vm::zov4
