// One token through the model: attention with rotary positions over the
// session's KV rows, a SiLU-gated feed-forward block, logits through the tied
// embedding. Every product goes through projq (BLAS on f32 weights, or the
// compact kernels when compact layers are switched on).
#include <algorithm>
#include <cmath>
#include <cstring>

#include <cblas.h>

#include "half.h"
#include "kivi_pos_codec.h"
#include "parallel_for.h"
#include "vm_engine_core.h"

namespace {

// y = (x × r) × w with r = 1 / sqrt(mean(x²) + eps), the sum taken in f64.
void rms_norm(const float* x, const std::vector<float>& w, int32_t n, float eps, float* y) {
    double s = 0.0;
    for (int32_t i = 0; i < n; ++i) s += double(x[i]) * double(x[i]);
    float r = float(1.0 / std::sqrt(s / double(n) + double(eps)));
    for (int32_t i = 0; i < n; ++i) y[i] = (x[i] * r) * w[size_t(i)];
}

// Rotates each head's halves: (a, b) -> (a cos − b sin, b cos + a sin).
void rope(float* h, int32_t heads, int32_t head_dim, int32_t pos, float base) {
    const int32_t half = head_dim / 2;
    for (int32_t i = 0; i < half; ++i) {
        float freq = std::pow(base, -float(2 * i) / float(head_dim));
        float angle = float(pos) * freq;
        float s = std::sin(angle), c = std::cos(angle);
        for (int32_t hd = 0; hd < heads; ++hd) {
            float* v = h + size_t(hd) * size_t(head_dim);
            float a = v[i], b = v[i + half];
            v[i] = std::fma(c, a, -(s * b));
            v[i + half] = std::fma(c, b, s * a);
        }
    }
}

// y = W x for a row-major rows × cols matrix: one BLAS dot product per row,
// rows split into blocks across the engine's threads. Each row's sum does not
// depend on how rows are split, so results do not depend on the thread count.
void matvec_f32(const float* W, uint64_t rows, uint64_t cols, const float* x, float* y) {
    const size_t blocks = std::max<size_t>(1, std::min<size_t>(vm::parallel_threads() * 4, size_t(rows / 32)));
    vm::parallel_for(blocks, [&](size_t b) {
        uint64_t begin = rows * b / blocks, end = rows * (b + 1) / blocks;
        for (uint64_t r = begin; r < end; ++r) y[r] = cblas_sdot(int(cols), W + r * cols, 1, x, 1);
    });
}

int8_t round_clamp_127(double v) {
    double q = std::round(v);
    if (!(q >= -127.0)) q = -127.0; // NaN included
    if (q > 127.0) q = 127.0;
    return int8_t(q);
}

} // namespace

void VMEngine::projq(int32_t layer, int32_t which, const Tensor& W, const std::vector<float>* bias, const float* x,
                     float* y) const {
    if (use_tern_layers && !tern_layers.empty()) {
        const vm::TernMatrix& m = tern_layers[size_t(layer)].m[which];
        float amax = 0.0f;
        for (int32_t i = 0; i < m.cols; ++i) amax = std::max(amax, std::fabs(x[i]));
        float s = amax > 0.0f ? amax / 127.0f : 1.0f;
        if (tern_scratch.size() < size_t(m.padded_cols)) tern_scratch.resize(size_t(m.padded_cols));
        double inv = double(1.0f / s);
        for (int32_t i = 0; i < m.cols; ++i) tern_scratch[size_t(i)] = round_clamp_127(inv * double(x[i]));
        for (int32_t i = m.cols; i < m.padded_cols; ++i) tern_scratch[size_t(i)] = 0;
        vm::matvec_ternary_mt_s(m, s, tern_scratch.data(), y);
    } else if (use_bit_layers && !bit_layers.empty()) {
        const vm::BitMatrix& m = bit_layers[size_t(layer)].m[which];
        float amax = 0.0f;
        for (int32_t i = 0; i < m.n_main; ++i) amax = std::max(amax, std::fabs(x[i]));
        float s = amax > 0.0f ? amax / 127.0f : 1.0f;
        float inv = 1.0f / s;
        if (act_q8.size() < size_t(m.n_main)) act_q8.resize(size_t(m.n_main));
        if (act_q8_perm.size() < size_t(m.n_salient)) act_q8_perm.resize(size_t(m.n_salient));
        for (int32_t i = 0; i < m.n_main; ++i) act_q8[size_t(i)] = round_clamp_127(double(inv * x[i]));
        for (int32_t k = 0; k < m.n_salient; ++k) act_q8_perm[size_t(k)] = act_q8[size_t(m.perm[size_t(k)])];
        vm::matvec_w1a8_mt_s(m, s, act_q8.data(), act_q8_perm.data(), y);
    } else {
        matvec_f32(W.data.data(), W.rows, W.cols, x, y);
    }
    if (bias != nullptr)
        for (uint64_t i = 0; i < W.rows; ++i) y[i] += (*bias)[size_t(i)];
}

void VMEngine::forward_token_into(Session& s, int32_t token, int32_t pos, std::vector<float>& logits) {
    ++forward_steps;
    float x[kMaxHidden], xn[kMaxHidden], q[kMaxQDim], k[kMaxKVDim], v[kMaxKVDim];
    float att[kMaxQDim], proj[kMaxHidden], down[kMaxHidden];
    std::memcpy(x, tok_embd.data.data() + size_t(token) * size_t(hidden), size_t(hidden) * sizeof(float));

    const int32_t group = n_head / n_head_kv;
    const float inv_sqrt = 1.0f / std::sqrt(float(head_dim));
    const size_t hd = size_t(head_dim);
    std::vector<float> scores, gate, up;
    std::vector<float> krow(hd), vrow(hd);

    for (int32_t l = 0; l < n_layer; ++l) {
        const Layer& L = layers[size_t(l)];
        rms_norm(x, L.attn_norm, hidden, rms_eps, xn);
        if (activation_hook) activation_hook->observe(l, 0, xn, hidden);
        projq(l, 0, L.wq, &L.bq, xn, q);
        projq(l, 1, L.wk, &L.bk, xn, k);
        projq(l, 2, L.wv, &L.bv, xn, v);
        rope(q, n_head, head_dim, pos, rope_base);
        rope(k, n_head_kv, head_dim, pos, rope_base);

        // Store this position's keys and values.
        const size_t lz = size_t(l);
        if (s.kivi) {
            const int32_t nout = s.n_outliers;
            auto encode_row = [&](const float* kv_row, size_t c, bool is_key) {
                auto& codes = is_key ? s.k_codes[lz] : s.v_codes[lz];
                auto& scale = is_key ? s.k_scale[lz] : s.v_scale[lz];
                auto& zero = is_key ? s.k_zero[lz] : s.v_zero[lz];
                auto& opos = is_key ? s.k_out_pos[lz] : s.v_out_pos[lz];
                auto& oval = is_key ? s.k_out_val[lz] : s.v_out_val[lz];
                kivi::PosCodec::quant(kv_row, head_dim, nout, codes.data() + c * (hd / 4), scale[c], zero[c],
                                      opos.data() + c * size_t(nout), oval.data() + c * size_t(nout));
            };
            auto encode_position = [&](int32_t p, const float* keys, const float* values) {
                for (int32_t h = 0; h < n_head_kv; ++h) {
                    size_t c = size_t(p) * size_t(n_head_kv) + size_t(h);
                    encode_row(keys + size_t(h) * hd, c, true);
                    encode_row(values + size_t(h) * hd, c, false);
                }
            };
            if (s.window < 1) {
                encode_position(pos, k, v);
            } else {
                size_t slot = size_t(pos % s.window) * size_t(kv_dim);
                if (pos >= s.window) {
                    float ok[kMaxKVDim], ov[kMaxKVDim];
                    for (int32_t i = 0; i < kv_dim; ++i) {
                        ok[i] = vm::half_to_float(s.k_window[lz][slot + size_t(i)]);
                        ov[i] = vm::half_to_float(s.v_window[lz][slot + size_t(i)]);
                    }
                    encode_position(pos - s.window, ok, ov);
                }
                for (int32_t i = 0; i < kv_dim; ++i) {
                    s.k_window[lz][slot + size_t(i)] = vm::float_to_half(k[i]);
                    s.v_window[lz][slot + size_t(i)] = vm::float_to_half(v[i]);
                }
            }
        } else if (s.int8_kv) {
            auto store = [&](const float* src, std::vector<int8_t>& codes, std::vector<float>& scales) {
                for (int32_t h = 0; h < n_head_kv; ++h) {
                    const float* r = src + size_t(h) * hd;
                    float amax = 0.0f;
                    for (size_t i = 0; i < hd; ++i) amax = std::max(amax, std::fabs(r[i]));
                    float scale = amax > 0.0f ? amax / 127.0f : 1.0f;
                    size_t c = size_t(pos) * size_t(n_head_kv) + size_t(h);
                    scales[c] = scale;
                    float inv = 1.0f / scale;
                    for (size_t i = 0; i < hd; ++i) codes[c * hd + i] = round_clamp_127(double(r[i] * inv));
                }
            };
            store(k, s.k_q8[lz], s.k_q8_scale[lz]);
            store(v, s.v_q8[lz], s.v_q8_scale[lz]);
        } else {
            std::memcpy(s.k_f32[lz].data() + size_t(pos) * size_t(kv_dim), k, size_t(kv_dim) * sizeof(float));
            std::memcpy(s.v_f32[lz].data() + size_t(pos) * size_t(kv_dim), v, size_t(kv_dim) * sizeof(float));
        }

        // Reads the key or value row of position t and KV head g into `out`
        // (or returns a pointer to it in place for full precision).
        auto read_row = [&](int32_t t, int32_t g, bool is_key, float* out) -> const float* {
            size_t c = size_t(t) * size_t(n_head_kv) + size_t(g);
            if (s.kivi) {
                if (s.window < 1 || t <= pos - s.window) {
                    kivi::decode_row((is_key ? s.k_codes : s.v_codes)[lz].data() + c * (hd / 4),
                                     (is_key ? s.k_scale : s.v_scale)[lz][c], (is_key ? s.k_zero : s.v_zero)[lz][c],
                                     (is_key ? s.k_out_pos : s.v_out_pos)[lz].data() + c * size_t(s.n_outliers),
                                     (is_key ? s.k_out_val : s.v_out_val)[lz].data() + c * size_t(s.n_outliers),
                                     head_dim, s.n_outliers, out);
                } else {
                    const uint16_t* w = (is_key ? s.k_window : s.v_window)[lz].data() +
                                        size_t(t % s.window) * size_t(kv_dim) + size_t(g) * hd;
                    for (size_t i = 0; i < hd; ++i) out[i] = vm::half_to_float(w[i]);
                }
                return out;
            }
            if (s.int8_kv) {
                const int8_t* codes = (is_key ? s.k_q8 : s.v_q8)[lz].data() + c * hd;
                float scale = (is_key ? s.k_q8_scale : s.v_q8_scale)[lz][c];
                for (size_t i = 0; i < hd; ++i) out[i] = scale * float(codes[i]);
                return out;
            }
            return (is_key ? s.k_f32 : s.v_f32)[lz].data() + c * hd;
        };

        scores.resize(size_t(pos) + 1);
        for (int32_t h = 0; h < n_head; ++h) {
            const int32_t g = h / group;
            const float* qh = q + size_t(h) * hd;
            for (int32_t t = 0; t <= pos; ++t) {
                const float* key = read_row(t, g, true, krow.data());
                float dot = 0.0f;
                for (size_t i = 0; i < hd; ++i) dot += qh[i] * key[i];
                scores[size_t(t)] = dot * inv_sqrt;
            }
            float m = scores[0];
            for (int32_t t = 1; t <= pos; ++t) m = std::max(m, scores[size_t(t)]);
            float sum = 0.0f;
            for (int32_t t = 0; t <= pos; ++t) {
                scores[size_t(t)] = std::exp(scores[size_t(t)] - m);
                sum += scores[size_t(t)];
            }
            float inv = 1.0f / sum;
            float* out = att + size_t(h) * hd;
            std::fill(out, out + hd, 0.0f);
            for (int32_t t = 0; t <= pos; ++t) {
                const float* value = read_row(t, g, false, vrow.data());
                float w = inv * scores[size_t(t)];
                for (size_t i = 0; i < hd; ++i) out[i] = std::fma(w, value[i], out[i]);
            }
        }
        if (activation_hook) activation_hook->observe(l, 1, att, q_dim);

        projq(l, 3, L.wo, nullptr, att, proj);
        for (int32_t i = 0; i < hidden; ++i) x[i] += proj[i];

        rms_norm(x, L.ffn_norm, hidden, rms_eps, xn);
        if (activation_hook) activation_hook->observe(l, 2, xn, hidden);
        const size_t n_ff = size_t(L.w_gate.rows);
        gate.resize(n_ff);
        up.resize(n_ff);
        projq(l, 4, L.w_gate, nullptr, xn, gate.data());
        projq(l, 5, L.w_up, nullptr, xn, up.data());
        for (size_t i = 0; i < n_ff; ++i) gate[i] = gate[i] / (1.0f + std::exp(-gate[i])) * up[i];
        if (activation_hook) activation_hook->observe(l, 3, gate.data(), int32_t(n_ff));
        projq(l, 6, L.w_down, nullptr, gate.data(), down);
        for (int32_t i = 0; i < hidden; ++i) x[i] += down[i];
    }

    last_hidden.assign(x, x + hidden);
    rms_norm(x, output_norm, hidden, rms_eps, xn);
    logits.assign(size_t(vocab_size), 0.0f);
    matvec_f32(tok_embd.data.data(), uint64_t(vocab_size), uint64_t(hidden), xn, logits.data());
}
