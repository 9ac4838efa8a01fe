#include "zov4/zov4_attention.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/ggml_blocks.h"
#include "vm_cabi_v2/kernel_ops.h"
#include "zov4/zov4_wide_rows.h"

namespace vm::zov4 {

namespace {

constexpr int kStackPairs = 256;   // rotary table of one position, on the stack
// Multiply-adds of an attention call worth a pool hand-off.
constexpr double kPoolWork = 65536;
constexpr float kPi = 3.1415927f;

float yarn_corr(int rot, int orig_ctx, float base, float beta) {
    return float(rot) * logf(float(orig_ctx) / (2.0f * kPi * beta)) / (2.0f * logf(base));
}

// Nearest magnitude of FP8 E4M3 (no infinities, largest 448) to a in
// [0, 448], ties to the even code. Dividing by the power-of-two step is exact
// and rint rounds half to even, which is the parity of the code because the
// exponent contributes a multiple of 8 to it.
float fp8_e4m3_round(float a) {
    constexpr float kMinNormal = 0.015625f; // 2^-6, code 8
    if (a < kMinNormal) {
        const float step = 0.001953125f; // 2^-9, the subnormal step
        return std::rint(a / step) * step;
    }
    int e = 0;
    std::frexp(a, &e); // a = m·2^e with m in [0.5, 1)
    const float step = std::ldexp(1.0f, e - 4); // 8 steps per binade
    return std::min(std::rint(a / step) * step, 448.0f);
}

// o[c] += w·v[c], eight independent lanes at a time so that the compiler
// can keep them in vector registers; each element's operations are the
// plain loop's.
inline void add_scaled(float* __restrict o, const float* __restrict v, float w, int64_t d) {
    int64_t c = 0;
    for (; c + 8 <= d; c += 8)
        for (int i = 0; i < 8; ++i) o[c + i] += w * v[c + i];
    for (; c < d; ++c) o[c] += w * v[c];
}

} // namespace

void rope_tail(float* out, const float* in, const int* positions, int64_t width, int64_t rows_per_token,
               int64_t tokens, int32_t rot, int32_t mode, int32_t orig_ctx, float base, float freq_scale,
               float ext_factor, float attn_factor, float beta_fast, float beta_slow) {
    if (tokens < 1 || rows_per_token < 1 || width < 1) return;
    rot = std::clamp<int64_t>(rot, 0, width);
    const int pairs = rot / 2;

    const float theta_scale = powf(base, -2.0f / float(rot));
    const float low = std::max(0.0f, floorf(yarn_corr(rot, orig_ctx, base, beta_fast)));
    const float high = std::min(float(rot - 1), ceilf(yarn_corr(rot, orig_ctx, base, beta_slow)));
    const float span = std::max(high - low, 0.001f);
    const float m_ext = attn_factor * (1.0f + 0.1f * logf(1.0f / freq_scale));

    float stack_table[2 * kStackPairs];
    std::vector<float> heap_table;
    float* table = stack_table;
    if (pairs > kStackPairs) {
        heap_table.resize(size_t(2) * pairs);
        table = heap_table.data();
    }

    const int64_t keep = width - rot;
    for (int64_t t = 0; t < tokens; ++t) {
        float theta_extrap = float(positions[t]);
        for (int i = 0; i < pairs; ++i) {
            const float theta_interp = freq_scale * theta_extrap;
            float theta = theta_interp;
            float mscale = attn_factor;
            if (ext_factor != 0.0f) {
                const float ramp = ext_factor * (1.0f - std::clamp((float(i) - low) / span, 0.0f, 1.0f));
                theta = std::fma(theta_extrap, ramp, theta_interp * (1.0f - ramp));
                mscale = m_ext;
            }
            float s = 0.0f, c = 0.0f;
            sincosf(theta, &s, &c);
            table[2 * i] = c * mscale;
            table[2 * i + 1] = s * mscale;
            theta_extrap *= theta_scale;
        }
        for (int64_t r = 0; r < rows_per_token; ++r) {
            const int64_t at = (t * rows_per_token + r) * width;
            const float* x = in + at;
            float* y = out + at;
            std::memcpy(y, x, sizeof(float) * size_t(width));
            const float* xt = x + keep;
            float* yt = y + keep;
            for (int i = 0; i < pairs; ++i) {
                const int i0 = mode == 0 ? 2 * i : i;
                const int i1 = mode == 0 ? 2 * i + 1 : i + pairs;
                const float c = table[2 * i], s = table[2 * i + 1];
                const float x0 = xt[i0], x1 = xt[i1];
                yt[i0] = x0 * c - x1 * s;
                yt[i1] = x0 * s + x1 * c;
            }
        }
    }
}

void fp8_kv_quantize(float* rows, int64_t width, int64_t rot, int64_t count) {
    const int64_t plain = width - rot;
    if (rows == nullptr || rot < 0 || plain <= 0 || plain % 64 != 0) return;
    for (int64_t row = 0; row < count; ++row) {
        float* x = rows + row * width;
        for (int64_t b = 0; b < plain; b += 64) {
            float amax = 0.0f;
            for (int i = 0; i < 64; ++i) amax = std::max(amax, std::fabs(x[b + i]));
            const float scale = exp2f(ceilf(log2f(std::max(amax, 1e-4f) / 448.0f)));
            for (int i = 0; i < 64; ++i) {
                const float f = std::clamp(x[b + i] / scale, -448.0f, 448.0f);
                const float v = fp8_e4m3_round(std::fabs(f));
                x[b + i] = scale * (f < 0.0f ? -v : v);
            }
        }
    }
}

void mha_with_sinks(const float* q, const float* k, const float* v, const float* mask, const float* sinks,
                    float* out, int64_t d, int64_t heads, int64_t n_q, int64_t n_k, float scale) {
    if (d < 1 || heads < 1 || n_q < 1) return;
    const auto dot = vm::kernel_ops().f32_row_dot;
    // Key rows as an F32 matrix: the wide row kernel makes every dot product
    // of a query in one pass, many times faster than one latency-bound dot
    // per key (null where the CPU lacks the kernel).
    const WideRowsKernel rows_kernel = d <= INT32_MAX ? wide_rows_kernel(kGgmlF32) : nullptr;
    const WeightedRowsKernel sum_kernel = avx2_weighted_rows();
    constexpr float kNegInf = -std::numeric_limits<float>::infinity();

    // One query row of one head, wholly on the calling thread; s and e hold
    // n_k scores and their exponentials.
    auto one = [&](int64_t unit, float* s, double* e) {
        const int64_t t = unit / heads, h = unit % heads;
        const float* mrow = mask != nullptr ? mask + t * n_k : nullptr;
        const float* qh = q + (t * heads + h) * d;
        float* o = out + (t * heads + h) * d;
        std::fill(o, o + d, 0.0f);

        // Masked keys contribute nothing (no dot product, a zero weight):
        // only the keys from the first to the last visible one are visited.
        int64_t lo = 0, hi = n_k;
        if (mrow != nullptr) {
            while (lo < hi && mrow[lo] == kNegInf) ++lo;
            while (hi > lo && mrow[hi - 1] == kNegInf) --hi;
        }
        // Each run of visible keys in one call: the indexer leaves most
        // compressed keys masked, and each dot product is its key's alone.
        for (int64_t j = lo; rows_kernel != nullptr && j < hi;) {
            if (mrow != nullptr && mrow[j] == kNegInf) {
                ++j;
                continue;
            }
            int64_t end = j + 1;
            while (end < hi && (mrow == nullptr || mrow[end] != kNegInf)) ++end;
            rows_kernel(reinterpret_cast<const uint8_t*>(k + j * d), 0, int32_t(end - j), int32_t(d), qh, 1, s + j, 0);
            j = end;
        }
        float m = sinks != nullptr ? sinks[h] : kNegInf;
        for (int64_t j = lo; j < hi; ++j) {
            const float add = mrow != nullptr ? mrow[j] : 0.0f;
            if (add == kNegInf) {
                s[j] = kNegInf;
                continue;
            }
            const float raw = rows_kernel != nullptr ? s[j] : dot(qh, k + j * d, int32_t(d));
            s[j] = scale * raw + add;
            m = std::max(m, s[j]);
        }
        // Nothing visible and no sink (or an infinite one): a zero row
        // rather than NaN from exp(−inf − (−inf)).
        if (!std::isfinite(m)) return;

        double den = sinks != nullptr ? std::exp(double(sinks[h] - m)) : 0.0;
        for (int64_t j = lo; j < hi; ++j) {
            e[j] = s[j] == kNegInf ? 0.0 : std::exp(double(s[j] - m));
            den += e[j];
        }
        if (sum_kernel != nullptr) {
            sum_kernel(v, e, den, lo, hi, d, o);
            return;
        }
        for (int64_t j = lo; j < hi; ++j) {
            if (e[j] == 0.0) continue;
            add_scaled(o, v + j * d, float(e[j] / den), d);
        }
    };

    const int64_t units = n_q * heads;
    auto run = [&](std::atomic<int64_t>* next) {
        thread_local std::vector<float> s;
        thread_local std::vector<double> e;
        if (s.size() < size_t(n_k)) {
            s.resize(size_t(n_k));
            e.resize(size_t(n_k));
        }
        if (next == nullptr) {
            for (int64_t u = 0; u < units; ++u) one(u, s.data(), e.data());
            return;
        }
        for (int64_t u; (u = next->fetch_add(1, std::memory_order_relaxed)) < units;) one(u, s.data(), e.data());
    };
    if (units < 2 || double(units) * double(n_k) * double(d) < kPoolWork) {
        run(nullptr);
        return;
    }
    std::atomic<int64_t> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) { run(&next); });
}

} // namespace vm::zov4
