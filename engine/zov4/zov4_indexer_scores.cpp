#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "vm_cabi_v2/kernel_ops.h"
#include "zov4/zov4_attention.h"
#include "zov4/zov4_forward.h"

namespace vm::zov4 {

void indexer_scores_prefill(const float* x, const float* qlat, const float* keys, const float* wq_b,
                            const float* w_proj, const int* positions, const float* visible, float* scores,
                            int64_t E, int64_t Q, int64_t Hi, int64_t Di, int64_t n, int64_t nb, int32_t rot,
                            int32_t mode, int32_t orig_ctx, float base, float freq_scale, float ext_factor,
                            float attn_factor, float beta_fast, float beta_slow) {
    if (n < 1 || nb < 1) return;
    if (Hi < 1 || Di < 1) {
        for (int64_t i = 0; i < n * nb; ++i) scores[i] = 0.0f + visible[i];
        return;
    }
    const auto dot = vm::kernel_ops().f32_row_dot;
    const int64_t width = Hi * Di;
    std::vector<float> q(n * width), q_rot(n * width), w(Hi);
    for (int64_t t = 0; t < n; ++t)
        for (int64_t o = 0; o < width; ++o) q[t * width + o] = dot(wq_b + o * Q, qlat + t * Q, int32_t(Q));
    rope_tail(q_rot.data(), q.data(), positions, Di, Hi, n, rot, mode, orig_ctx, base, freq_scale, ext_factor,
              attn_factor, beta_fast, beta_slow);

    const float w_scale = 1.0f / sqrtf(float(Hi) * float(Di));
    for (int64_t t = 0; t < n; ++t) {
        for (int64_t h = 0; h < Hi; ++h) w[h] = dot(w_proj + h * E, x + t * E, int32_t(E)) * w_scale;
        const float* qt = q_rot.data() + t * width;
        for (int64_t b = 0; b < nb; ++b) {
            float acc = 0.0f;
            for (int64_t h = 0; h < Hi; ++h)
                acc = std::fma(std::max(dot(qt + h * Di, keys + b * Di, int32_t(Di)), 0.0f), w[h], acc);
            scores[t * nb + b] = acc + visible[t * nb + b];
        }
    }
}

void ZOV4Forward::topk_keep_mask_(int64_t n, int k, const float* scores, char* keep, int* order) {
    if (n < 1) return;
    for (int64_t i = 0; i < n; ++i) {
        order[i] = int(i);
        keep[i] = 0;
    }
    if (k >= n) {
        std::fill(keep, keep + n, char(1));
        return;
    }
    if (k <= 0) return;
    // A NaN score ranks last, so the comparisons stay a strict weak order.
    auto key = [scores](int i) {
        const float s = scores[i];
        return std::isnan(s) ? -std::numeric_limits<float>::infinity() : s;
    };
    if (n > 128) {
        std::partial_sort(order, order + k, order + n, [&](int a, int b) { return key(a) > key(b); });
        for (int i = 0; i < k; ++i) keep[order[i]] = 1;
        return;
    }
    for (int i = 0; i < k; ++i) {
        int64_t best = i;
        for (int64_t j = i + 1; j < n; ++j)
            if (key(order[j]) > key(order[best])) best = j;
        std::swap(order[i], order[best]);
        keep[order[i]] = 1;
    }
}

} // namespace vm::zov4
