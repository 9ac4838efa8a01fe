#include "zov4/zov4_row_kernels.h"

#include <cmath>

#include "vm_cabi_v2/kernel_ops.h"

namespace vm::zov4 {

namespace {

void rms_norm_row(const float* x, const float* w, float* y, int64_t n, float eps) {
    float lane[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const int64_t body = n / 4 * 4;
    for (int64_t i = 0; i < body; i += 4)
        for (int j = 0; j < 4; ++j) lane[j] = std::fma(x[i + j], x[i + j], lane[j]);
    float s = (lane[0] + lane[1]) + (lane[2] + lane[3]);
    for (int64_t i = body; i < n; ++i) s = std::fma(x[i], x[i], s);
    const float scale = 1.0f / sqrtf(s / float(n) + eps);
    for (int64_t i = 0; i < n; ++i) y[i] = (x[i] * scale) * w[i];
}

void weighted_sum(const float* x, const float* w, float* y, int64_t E, int64_t S) {
    for (int64_t i = 0; i < E; ++i) {
        float acc = 0.0f;
        for (int64_t k = 0; k < S; ++k) acc = std::fma(w[k], x[k * E + i], acc);
        y[i] = acc;
    }
}

void expand(const float* f, const float* x_old, const float* post, const float* comb, float* out, int64_t E,
            int64_t S) {
    for (int64_t j = 0; j < S; ++j)
        for (int64_t i = 0; i < E; ++i) {
            float acc = post[j] * f[i];
            for (int64_t k = 0; k < S; ++k) acc = std::fma(comb[k * S + j], x_old[k * E + i], acc);
            out[j * E + i] = acc;
        }
}

const RowKernels kPortable{rms_norm_row, weighted_sum, expand};

} // namespace

const RowKernels& portable_row_kernels() { return kPortable; }

const RowKernels& row_kernels() {
    if (&vm::kernel_ops() != &vm::portable_kernel_ops())
        if (const RowKernels* v = avx2_row_kernels()) return *v;
    return kPortable;
}

} // namespace vm::zov4
