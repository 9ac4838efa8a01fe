#include "zov4/zov4_hyper_connections.h"

#include <cmath>
#include <limits>
#include <vector>

#include "vm_cabi_v2/dequant.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_tensor_util.h"
#include "zov4/zov4_row_kernels.h"

namespace vm::zov4 {

namespace {

void column_pass(float* m, int S, float eps) {
    for (int k = 0; k < S; ++k) {
        float t = 0.0f;
        for (int r = 0; r < S; ++r) t += m[r * S + k];
        const float inv = 1.0f / (eps + t);
        for (int r = 0; r < S; ++r) m[r * S + k] *= inv;
    }
}

void row_pass(float* m, int S, float eps) {
    for (int r = 0; r < S; ++r) {
        float t = 0.0f;
        for (int k = 0; k < S; ++k) t += m[r * S + k];
        const float inv = 1.0f / (eps + t);
        for (int k = 0; k < S; ++k) m[r * S + k] *= inv;
    }
}

// Each position's S·E stream values scaled to unit RMS (no weight), the sum
// of squares in double precision.
void normalise_streams(const float* streams, float* z, int64_t SE, int64_t n, float eps) {
    for (int64_t t = 0; t < n; ++t) {
        const float* v = streams + t * SE;
        const float scale = 1.0f / sqrtf(eps + mean_square_in_order(v, SE));
        for (int64_t i = 0; i < SE; ++i) z[t * SE + i] = v[i] * scale;
    }
}

} // namespace

void hc_split_sinkhorn(const float* logits, const float* scale, const float* base, float* out, int S, int iters,
                       float eps, int64_t n) {
    if (S < 1 || S > kMaxStreams) return;
    const int width = S * (S + 2);
    float m[kMaxStreams * kMaxStreams];
    for (int64_t t = 0; t < n; ++t) {
        const float* L = logits + t * width;
        float* o = out + t * width;
        for (int i = 0; i < S; ++i) o[i] = 1.0f / (std::exp(-std::fma(L[i], scale[0], base[i])) + 1.0f) + eps;
        for (int i = 0; i < S; ++i)
            o[S + i] = 2.0f / (1.0f + std::exp(-std::fma(L[S + i], scale[1], base[S + i])));
        for (int r = 0; r < S; ++r) {
            float c[kMaxStreams];
            float top = -std::numeric_limits<float>::infinity();
            for (int k = 0; k < S; ++k) {
                const int at = 2 * S + r * S + k;
                c[k] = std::fma(L[at], scale[2], base[at]);
                if (c[k] > top) top = c[k];
            }
            float sum = 0.0f;
            for (int k = 0; k < S; ++k) {
                c[k] = std::exp(c[k] - top);
                sum += c[k];
            }
            const float inv = 1.0f / sum;
            for (int k = 0; k < S; ++k) m[r * S + k] = std::fma(c[k], inv, eps);
        }
        column_pass(m, S, eps);
        for (int it = 1; it < iters; ++it) {
            row_pass(m, S, eps);
            column_pass(m, S, eps);
        }
        for (int i = 0; i < S * S; ++i) o[2 * S + i] = m[i];
    }
}

void hc_weighted_sum(const float* x, const float* w, float* y, int64_t E, int64_t S, int64_t n) {
    const RowKernels& k = row_kernels();
    for (int64_t t = 0; t < n; ++t) k.weighted_sum(x + t * S * E, w + t * S, y + t * E, E, S);
}

void hc_expand(const float* f, const float* x_old, const float* post, const float* comb, float* out, int64_t E,
               int64_t S, int64_t n) {
    const RowKernels& k = row_kernels();
    for (int64_t t = 0; t < n; ++t)
        k.expand(f + t * E, x_old + t * S * E, post + t * S, comb + t * S * S, out + t * S * E, E, S);
}

ZOV4Forward::HCMix ZOV4Forward::hc_pre(const float* streams, const GGUFTensor* fn, const GGUFTensor* scale,
                                       const GGUFTensor* base, float* x, int64_t n) {
    const int64_t S = n_hc, E = n_embd, SE = S * E, width = S * (S + 2);
    // Scratch kept between calls: the decode makes two of these per layer.
    thread_local std::vector<float> z;
    if (z.size() < size_t(n * SE)) z.resize(size_t(n * SE));
    normalise_streams(streams, z.data(), SE, n, rms_eps);
    std::vector<float> logits(size_t(n * width));
    mm_multi(fn, z.data(), logits.data(), SE, width, n);
    const std::vector<float> sc = dequantised(scale, 3);
    const std::vector<float> b = dequantised(base, width);
    std::vector<float> split(size_t(n * width));
    hc_split_sinkhorn(logits.data(), sc.data(), b.data(), split.data(), int(S), 20, hc_eps, n);

    HCMix mix;
    mix.post.resize(size_t(n * S));
    mix.comb.resize(size_t(n * S * S));
    std::vector<float> pre(size_t(n * S));
    for (int64_t t = 0; t < n; ++t) {
        const float* o = split.data() + t * width;
        std::copy(o, o + S, pre.begin() + t * S);
        std::copy(o + S, o + 2 * S, mix.post.begin() + t * S);
        std::copy(o + 2 * S, o + width, mix.comb.begin() + t * S * S);
    }
    hc_weighted_sum(streams, pre.data(), x, E, S, n);
    return mix;
}

void ZOV4Forward::hc_head(const float* streams, float* y, int64_t n) {
    const int64_t S = n_hc, E = n_embd, SE = S * E;
    std::vector<float> z(size_t(n * SE));
    normalise_streams(streams, z.data(), SE, n, rms_eps);
    std::vector<float> logits(size_t(n * S));
    mm_multi(global_tensor("output_hc_fn.weight"), z.data(), logits.data(), SE, S, n);
    const float s = dequantised(global_tensor("output_hc_scale.weight"), 1)[0];
    const std::vector<float> b = dequantised(global_tensor("output_hc_base.weight"), S);
    std::vector<float> w(size_t(n * S));
    for (int64_t t = 0; t < n; ++t)
        for (int64_t i = 0; i < S; ++i)
            w[size_t(t * S + i)] = hc_eps + 1.0f / (1.0f + std::exp(-std::fma(logits[size_t(t * S + i)], s, b[size_t(i)])));
    hc_weighted_sum(streams, w.data(), y, E, S, n);
}

} // namespace vm::zov4
