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

double sum_of_squares_in_order(const float* v, int64_t n) {
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) s += double(v[i]) * double(v[i]);
    return s;
}

} // namespace

float mean_square_in_order(const float* v, int64_t n) {
    if (n <= 0) return float(sum_of_squares_in_order(v, n) / double(n));
    // The in-order sum is one long chain of dependent additions. Independent
    // lanes give a sum that differs from it by less than margin
    // (each of the two sums of n non-negative terms, every square exact in
    // double, is within (n - 1)·2^-53 of the exact sum, relatively); when
    // both ends of that interval round to the same float mean, so does the
    // in-order sum, since dividing and rounding keep the order. Otherwise
    // (about once in ten thousand rows) the sum is made in order.
    static const SquareSum vector_sum = avx2_square_sum();
    double fast = 0.0;
    if (vector_sum != nullptr) {
        fast = vector_sum(v, n);
    } else {
        double lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        const int64_t body = n / 8 * 8;
        for (int64_t i = 0; i < body; i += 8)
            for (int j = 0; j < 8; ++j) lane[j] += double(v[i + j]) * double(v[i + j]);
        fast = ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
        for (int64_t i = body; i < n; ++i) fast += double(v[i]) * double(v[i]);
    }
    const double margin = 4.0 * double(n) * 0x1p-53;
    if (std::isfinite(fast) && double(n) < 0x1p40) {
        const float lo = float(fast * (1.0 - margin) / double(n));
        const float hi = float(fast * (1.0 + margin) / double(n));
        if (lo == hi) return lo;
    }
    return float(sum_of_squares_in_order(v, n) / double(n));
}

const RowKernels& portable_row_kernels() { return kPortable; }

const RowKernels& row_kernels() {
    if (&vm::kernel_ops() != &vm::portable_kernel_ops())
        if (const RowKernels* v = avx2_row_kernels()) return *v;
    return kPortable;
}

} // namespace vm::zov4
