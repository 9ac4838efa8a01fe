// The AVX2/FMA build of attention's value sum: each output element is
// accumulated in a register over all the visible keys instead of being
// loaded and stored once per key.
#include <immintrin.h>

#include <cmath>

#include "vm_cabi_v2/kernel_ops.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC target("avx2,fma")
#endif
#include "zov4/zov4_attention.h"

namespace vm::zov4 {

namespace {

// o[c] = Σ_j w_j·v_j[c] in key order, w_j = e[j] / den, one fused multiply-add
// per key and element; keys with e[j] = 0 are skipped. Eight registers of
// eight lanes take 64 elements per pass over the keys.
void weighted_rows(const float* v, const double* e, double den, int64_t lo, int64_t hi, int64_t d, float* o) {
    int64_t c = 0;
    for (; c + 64 <= d; c += 64) {
        __m256 a[8];
        for (auto& r : a) r = _mm256_setzero_ps();
        for (int64_t j = lo; j < hi; ++j) {
            if (e[j] == 0.0) continue;
            const __m256 w = _mm256_set1_ps(float(e[j] / den));
            const float* row = v + j * d + c;
            for (int i = 0; i < 8; ++i) a[i] = _mm256_fmadd_ps(w, _mm256_loadu_ps(row + 8 * i), a[i]);
        }
        for (int i = 0; i < 8; ++i) _mm256_storeu_ps(o + c + 8 * i, a[i]);
    }
    for (; c + 8 <= d; c += 8) {
        __m256 a = _mm256_setzero_ps();
        for (int64_t j = lo; j < hi; ++j)
            if (e[j] != 0.0) a = _mm256_fmadd_ps(_mm256_set1_ps(float(e[j] / den)), _mm256_loadu_ps(v + j * d + c), a);
        _mm256_storeu_ps(o + c, a);
    }
    for (; c < d; ++c) {
        float a = 0.0f;
        for (int64_t j = lo; j < hi; ++j)
            if (e[j] != 0.0) a = std::fma(float(e[j] / den), v[j * d + c], a);
        o[c] = a;
    }
}

} // namespace

WeightedRowsKernel avx2_weighted_rows() { return vm::avx2_kernel_ops() ? weighted_rows : nullptr; }

} // namespace vm::zov4

#if defined(__clang__)
#pragma clang attribute pop
#endif
