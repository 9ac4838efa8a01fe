#pragma once
// Per-row loops of the RMS norm and the hyper-connection mixes, in a
// portable build (std::fma, scalar) and an AVX2/FMA build that works on four
// features at once. Both perform the same operations per element in the same
// order, so they give the same bits; the build follows the engine's kernel
// choice (vm::kernel_ops), which tests can force to the portable one.
#include <cstdint>

namespace vm::zov4 {

struct RowKernels {
    // y = (x × 1/sqrtf(s/n + eps)) × w, s the sum of squares in four fma lanes
    // (lane j over elements 4i + j) reduced as (l0 + l1) + (l2 + l3), then the
    // n mod 4 tail values by fma.
    void (*rms_norm_row)(const float* x, const float* w, float* y, int64_t n, float eps);
    // One position: y[i] = Σk w[k]·x[k][i] by fma from 0, k in order.
    void (*weighted_sum)(const float* x, const float* w, float* y, int64_t E, int64_t S);
    // One position: out[j][i] = fma over k of comb[k][j]·x_old[k][i], starting
    // from the rounded product post[j]·f[i].
    void (*expand)(const float* f, const float* x_old, const float* post, const float* comb, float* out, int64_t E,
                   int64_t S);
};

// float(s / n) for s the sum of the squares in double precision, added in
// element order: the bits of that sequential loop, usually without its
// chain of dependent additions.
float mean_square_in_order(const float* v, int64_t n);

// Σ v[i]² in double precision in sixteen lanes (the AVX2 build), null where
// the CPU lacks AVX2 and FMA; mean_square_in_order's quick sum.
using SquareSum = double (*)(const float* v, int64_t n);
SquareSum avx2_square_sum();

const RowKernels& portable_row_kernels();
// Null when the CPU lacks AVX2 and FMA.
const RowKernels* avx2_row_kernels();
const RowKernels& row_kernels();

} // namespace vm::zov4
