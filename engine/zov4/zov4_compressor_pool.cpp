#include "zov4/zov4_compressor_pool.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "zov4/zov4_attention.h"

namespace vm::zov4 {

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

} // namespace

void compressor_pool(const float* kv, const float* gate, const float* ape, const float* norm, const int* block_pos,
                     float* out, int64_t C, int64_t n, int r, const RotaryArgs& rope, float eps, float* pooled,
                     float* finished, float* normed_out) {
    compressor_pool_from(kv, gate, ape, norm, block_pos, out, C, n, r, rope, eps, pooled, finished, normed_out, 0);
}

void compressor_pool_from(const float* kv, const float* gate, const float* ape, const float* norm,
                          const int* block_pos, float* out, int64_t C, int64_t n, int r, const RotaryArgs& rope,
                          float eps, float* pooled, float* finished, float* normed_out, int64_t first_block) {
    if (r < 1 || C < 1) return;
    const int64_t nb = n / r;
    if (nb < 1 || first_block >= nb) return;
    first_block = std::max<int64_t>(first_block, 0);
    const bool overlap = r == 4;
    const int64_t cw = overlap ? 2 * C : C; // C', the projected width

    // Scores are gate + ape recomputed in each pass rather than stored: the
    // same float sum every time, and no window-sized scratch.
    auto score = [&](int64_t t, int64_t col) { return gate[t * cw + col] + ape[(t % r) * cw + col]; };

    for (int64_t b = first_block; b < nb; ++b) {
        float* row = pooled + b * C;
        for (int64_t c = 0; c < C; ++c) {
            if (overlap) {
                // Eight entries: block b − 1 through columns c (empty for
                // b = 0), then block b through columns C + c.
                float m = kNegInf;
                for (int e = 0; e < 8; ++e) {
                    const int64_t t = (b - 1) * 4 + e;
                    const int64_t col = e < 4 ? c : C + c;
                    if (t >= 0) m = std::max(m, score(t, col));
                }
                float sum = 0.0f;
                for (int e = 0; e < 8; ++e) {
                    const int64_t t = (b - 1) * 4 + e;
                    const int64_t col = e < 4 ? c : C + c;
                    sum += t >= 0 ? expf(score(t, col) - m) : 0.0f;
                }
                const float inv = 1.0f / sum;
                float acc = 0.0f;
                for (int e = 0; e < 8; ++e) {
                    const int64_t t = (b - 1) * 4 + e;
                    const int64_t col = e < 4 ? c : C + c;
                    const float w = t >= 0 ? inv * expf(score(t, col) - m) : 0.0f;
                    acc = std::fma(w, t >= 0 ? kv[t * cw + col] : 0.0f, acc);
                }
                row[c] = acc;
            } else {
                const int64_t t0 = b * r;
                float m = kNegInf;
                for (int64_t t = t0; t < t0 + r; ++t) m = std::max(m, score(t, c));
                float sum = 0.0f;
                for (int64_t t = t0; t < t0 + r; ++t) sum += expf(score(t, c) - m);
                const float inv = 1.0f / sum;
                float acc = 0.0f;
                for (int64_t t = t0; t < t0 + r; ++t) acc += (inv * expf(score(t, c) - m)) * kv[t * cw + c];
                row[c] = acc;
            }
        }
    }

    for (int64_t b = first_block; b < nb; ++b) {
        const float* x = pooled + b * C;
        double ss = 0.0;
        for (int64_t c = 0; c < C; ++c) ss += double(x[c]) * double(x[c]);
        const float inv_rms = 1.0f / sqrtf(eps + float(ss / double(C)));
        float* y = finished + b * C;
        for (int64_t c = 0; c < C; ++c) y[c] = x[c] * inv_rms;
        if (normed_out != nullptr) std::memcpy(normed_out + b * C, y, sizeof(float) * size_t(C));
        for (int64_t c = 0; c < C; ++c) y[c] *= norm[c];
    }

    rope_tail(out + first_block * C, finished + first_block * C, block_pos + first_block, C, 1, nb - first_block,
              rope.rot, rope.mode, rope.orig_ctx, rope.base, rope.freq_scale,
              rope.ext_factor, rope.attn_factor, rope.beta_fast, rope.beta_slow);
}

void compressor_prefill_proj(const float* kv, const float* gate, const float* ape, const float* norm,
                             const int* block_pos, float* out, int64_t C, int64_t n, int r, int32_t rot,
                             int32_t mode, int32_t orig_ctx, float base, float freq_scale, float ext_factor,
                             float attn_factor, float beta_fast, float beta_slow, float eps, float* pooled_out,
                             float* normed_out) {
    if (r < 1 || C < 1 || n / r < 1) return;
    const size_t rows = size_t(n / r) * size_t(C);
    std::vector<float> scratch(pooled_out != nullptr ? rows : 2 * rows);
    float* pooled = pooled_out != nullptr ? pooled_out : scratch.data() + rows;
    const RotaryArgs rope{rot, mode, orig_ctx, base, freq_scale, ext_factor, attn_factor, beta_fast, beta_slow};
    compressor_pool(kv, gate, ape, norm, block_pos, out, C, n, r, rope, eps, pooled, scratch.data(), normed_out);
}

} // namespace vm::zov4
