#pragma once
// Small helpers the forward pass's files share: a tensor decoded to single
// precision, and the transpose between token-major rows and the GPU
// products' feature-major columns.
#include <cstdint>
#include <vector>

#include "../vm_cabi/gguf_file.h"
#include "../vm_cabi_v2/dequant.h"

namespace vm::zov4 {

// The first `count` values of t as floats (zeros for an unsupported type).
inline std::vector<float> dequantised(const GGUFTensor* t, int64_t count) {
    std::vector<float> v(static_cast<size_t>(count), 0.0f);
    vm::dequant_tensor(t->type, t->data, v.data(), uint64_t(count));
    return v;
}

// out (cols × rows) = the transpose of in (rows × cols).
inline void transpose(const float* in, float* out, int64_t rows, int64_t cols) {
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t c = 0; c < cols; ++c) out[c * rows + r] = in[r * cols + c];
}

} // namespace vm::zov4
