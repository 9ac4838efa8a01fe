// The AVX2/FMA build of the row kernels: four features per step, with the
// portable build's per-element operations and order.
#include <immintrin.h>

#include <cmath>

#include "vm_cabi_v2/kernel_ops.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC target("avx2,fma")
#endif
#include "zov4/zov4_row_kernels.h"

namespace vm::zov4 {

namespace {

void rms_norm_row(const float* x, const float* w, float* y, int64_t n, float eps) {
    __m128 acc = _mm_setzero_ps();
    const int64_t body = n / 4 * 4;
    for (int64_t i = 0; i < body; i += 4) {
        const __m128 v = _mm_loadu_ps(x + i);
        acc = _mm_fmadd_ps(v, v, acc);
    }
    float lane[4];
    _mm_storeu_ps(lane, acc);
    float s = (lane[0] + lane[1]) + (lane[2] + lane[3]);
    for (int64_t i = body; i < n; ++i) s = std::fma(x[i], x[i], s);
    const float scale = 1.0f / sqrtf(s / float(n) + eps);
    const __m128 sc = _mm_set1_ps(scale);
    for (int64_t i = 0; i < body; i += 4)
        _mm_storeu_ps(y + i, _mm_mul_ps(_mm_mul_ps(_mm_loadu_ps(x + i), sc), _mm_loadu_ps(w + i)));
    for (int64_t i = body; i < n; ++i) y[i] = (x[i] * scale) * w[i];
}

void weighted_sum(const float* x, const float* w, float* y, int64_t E, int64_t S) {
    const int64_t body = E / 4 * 4;
    for (int64_t i = 0; i < body; i += 4) {
        __m128 acc = _mm_setzero_ps();
        for (int64_t k = 0; k < S; ++k) acc = _mm_fmadd_ps(_mm_set1_ps(w[k]), _mm_loadu_ps(x + k * E + i), acc);
        _mm_storeu_ps(y + i, acc);
    }
    for (int64_t i = body; i < E; ++i) {
        float acc = 0.0f;
        for (int64_t k = 0; k < S; ++k) acc = std::fma(w[k], x[k * E + i], acc);
        y[i] = acc;
    }
}

void expand(const float* f, const float* x_old, const float* post, const float* comb, float* out, int64_t E,
            int64_t S) {
    const int64_t body = E / 4 * 4;
    for (int64_t j = 0; j < S; ++j) {
        const __m128 pj = _mm_set1_ps(post[j]);
        for (int64_t i = 0; i < body; i += 4) {
            __m128 acc = _mm_mul_ps(pj, _mm_loadu_ps(f + i));
            for (int64_t k = 0; k < S; ++k)
                acc = _mm_fmadd_ps(_mm_set1_ps(comb[k * S + j]), _mm_loadu_ps(x_old + k * E + i), acc);
            _mm_storeu_ps(out + j * E + i, acc);
        }
        for (int64_t i = body; i < E; ++i) {
            float acc = post[j] * f[i];
            for (int64_t k = 0; k < S; ++k) acc = std::fma(comb[k * S + j], x_old[k * E + i], acc);
            out[j * E + i] = acc;
        }
    }
}

const RowKernels kAvx2{rms_norm_row, weighted_sum, expand};

// Each square is exact in double, so a fused multiply-add rounds only the sum.
double square_sum(const float* v, int64_t n) {
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256 lo = _mm256_loadu_ps(v + i), hi = _mm256_loadu_ps(v + i + 8);
        const __m256d d0 = _mm256_cvtps_pd(_mm256_castps256_ps128(lo)), d1 = _mm256_cvtps_pd(_mm256_extractf128_ps(lo, 1));
        const __m256d d2 = _mm256_cvtps_pd(_mm256_castps256_ps128(hi)), d3 = _mm256_cvtps_pd(_mm256_extractf128_ps(hi, 1));
        a0 = _mm256_fmadd_pd(d0, d0, a0);
        a1 = _mm256_fmadd_pd(d1, d1, a1);
        a2 = _mm256_fmadd_pd(d2, d2, a2);
        a3 = _mm256_fmadd_pd(d3, d3, a3);
    }
    alignas(32) double l[4];
    _mm256_store_pd(l, _mm256_add_pd(_mm256_add_pd(a0, a1), _mm256_add_pd(a2, a3)));
    double s = (l[0] + l[1]) + (l[2] + l[3]);
    for (; i < n; ++i) s += double(v[i]) * double(v[i]);
    return s;
}

} // namespace

SquareSum avx2_square_sum() { return vm::avx2_kernel_ops() ? square_sum : nullptr; }

const RowKernels* avx2_row_kernels() { return vm::avx2_kernel_ops() ? &kAvx2 : nullptr; }

} // namespace vm::zov4

#if defined(__clang__)
#pragma clang attribute pop
#endif
