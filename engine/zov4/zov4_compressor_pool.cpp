#include "zov4/zov4_compressor_pool.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "vm_cabi_v2/det_pool.h"
#include "zov4/zov4_attention.h"

namespace vm::zov4 {

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();
// Pooled columns one claim of the pool covers, and the exponentials of a
// call worth a pool hand-off: a decode step's block of four (a thousand or
// so) stays on the caller, a block of 128 goes to the pool.
constexpr int64_t kColumnRun = 16;
constexpr double kPoolEntries = 4096;

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

    // Pooled columns [c0, c1) of block b. Each exponential is taken once and
    // serves both the sum and the weight, the same value either time.
    auto columns = [&](int64_t b, int64_t c0, int64_t c1, float* ex) {
        float* row = pooled + b * C;
        for (int64_t c = c0; c < c1; ++c) {
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
                    ex[e] = t >= 0 ? expf(score(t, col) - m) : 0.0f;
                    sum += ex[e];
                }
                const float inv = 1.0f / sum;
                float acc = 0.0f;
                for (int e = 0; e < 8; ++e) {
                    const int64_t t = (b - 1) * 4 + e;
                    const int64_t col = e < 4 ? c : C + c;
                    const float w = t >= 0 ? inv * ex[e] : 0.0f;
                    acc = std::fma(w, t >= 0 ? kv[t * cw + col] : 0.0f, acc);
                }
                row[c] = acc;
            } else {
                const int64_t t0 = b * r;
                float m = kNegInf;
                for (int64_t t = t0; t < t0 + r; ++t) m = std::max(m, score(t, c));
                float sum = 0.0f;
                for (int64_t t = t0; t < t0 + r; ++t) {
                    ex[t - t0] = expf(score(t, c) - m);
                    sum += ex[t - t0];
                }
                const float inv = 1.0f / sum;
                float acc = 0.0f;
                for (int64_t t = t0; t < t0 + r; ++t) acc += (inv * ex[t - t0]) * kv[t * cw + c];
                row[c] = acc;
            }
        }
    };

    // Every pooled value is one column's, wholly on one thread: the pool
    // takes runs of columns when the exponentials are worth a hand-off.
    const int64_t entries = overlap ? 8 : r;
    const int64_t units_per_block = (C + kColumnRun - 1) / kColumnRun;
    const int64_t units = (nb - first_block) * units_per_block;
    auto run = [&](std::atomic<int64_t>* next) {
        thread_local std::vector<float> ex;
        if (ex.size() < size_t(entries)) ex.resize(size_t(entries));
        for (int64_t u = next ? next->fetch_add(1, std::memory_order_relaxed) : 0; u < units;
             u = next ? next->fetch_add(1, std::memory_order_relaxed) : u + 1) {
            const int64_t b = first_block + u / units_per_block, c0 = u % units_per_block * kColumnRun;
            columns(b, c0, std::min(C, c0 + kColumnRun), ex.data());
        }
    };
    if (units < 2 || double(nb - first_block) * double(C) * double(entries) < kPoolEntries) {
        run(nullptr);
    } else {
        std::atomic<int64_t> next{0};
        vm::apex::det_pool_global()->parallel([&](int, int) { run(&next); });
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
