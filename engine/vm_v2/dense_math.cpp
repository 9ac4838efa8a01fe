#include "vm_v2/dense_math.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace vivirov::dense {

void rms_norm(const float* x, const float* w, int32_t n, float eps, float* out) {
    if (!w) {
        if (out != x) std::memcpy(out, x, sizeof(float) * size_t(n));
        return;
    }
    float ss = 0.0f;
    for (int32_t i = 0; i < n; ++i) ss += x[i] * x[i];
    const float scale = 1.0f / std::sqrt(ss / float(n) + eps);
    for (int32_t i = 0; i < n; ++i) out[i] = x[i] * scale * w[i];
}

void rope_angles(int32_t head_dim, int32_t pos, float base, RopeAngles& out) {
    const int32_t half = head_dim >= 2 ? head_dim / 2 : 0;
    out.cos.resize(size_t(half));
    out.sin.resize(size_t(half));
    for (int32_t i = 0; i < half; ++i) {
        const float freq = std::pow(base, -2.0f * float(i) / float(head_dim));
        const float angle = float(pos) * freq;
        out.cos[size_t(i)] = std::cos(angle);
        out.sin[size_t(i)] = std::sin(angle);
    }
}

void rope(float* h, int32_t heads, int32_t head_dim, const RopeAngles& angles) {
    if (head_dim < 2 || heads < 1) return;
    const int32_t half = head_dim / 2;
    for (int32_t hd = 0; hd < heads; ++hd) {
        float* v = h + size_t(hd) * size_t(head_dim);
        for (int32_t i = 0; i < half; ++i) {
            const float c = angles.cos[size_t(i)], s = angles.sin[size_t(i)];
            const float x0 = v[i], x1 = v[i + half];
            v[i] = x0 * c - x1 * s;
            v[i + half] = x0 * s + x1 * c;
        }
    }
}

void attention(const float* q, const float* k_rows, const float* v_rows, int32_t T, int32_t n_head,
               int32_t n_head_kv, int32_t head_dim, float* out) {
    attention_heads(q, k_rows, v_rows, T, n_head, n_head_kv, head_dim, out, 0, n_head);
}

namespace {

// q·k over n values in eight partial sums: independent chains instead of one
// long one (the order differs from a plain loop only by rounding).
float dot(const float* a, const float* b, int32_t n) {
    float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int32_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int j = 0; j < 8; ++j) s[j] += a[i + j] * b[i + j];
    float t = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
    for (; i < n; ++i) t += a[i] * b[i];
    return t;
}

} // namespace

void attention_heads(const float* q, const float* k_rows, const float* v_rows, int32_t T, int32_t n_head,
                     int32_t n_head_kv, int32_t head_dim, float* out, int32_t h0, int32_t h1) {
    const int32_t group = n_head_kv > 0 ? n_head / n_head_kv : 1;
    const size_t kv_dim = size_t(n_head_kv) * size_t(head_dim);
    const float inv = 1.0f / std::sqrt(float(head_dim));
    // The weights of one head, kept per thread: a decode step calls this for
    // every layer.
    thread_local std::vector<float> w;
    if (w.size() < size_t(T > 0 ? T : 0)) w.resize(size_t(T));
    for (int32_t h = h0; h < h1; ++h) {
        const int32_t g = group > 0 ? h / group : 0;
        const float* qh = q + size_t(h) * size_t(head_dim);
        float* oh = out + size_t(h) * size_t(head_dim);
        float mx = -INFINITY;
        for (int32_t t = 0; t < T; ++t) {
            const float* kt = k_rows + size_t(t) * kv_dim + size_t(g) * size_t(head_dim);
            w[size_t(t)] = dot(qh, kt, head_dim) * inv;
            if (w[size_t(t)] > mx) mx = w[size_t(t)];
        }
        float sum = 0.0f;
        for (int32_t t = 0; t < T; ++t) sum += (w[size_t(t)] = std::exp(w[size_t(t)] - mx));
        std::memset(oh, 0, sizeof(float) * size_t(head_dim));
        if (!(sum > 0.0f)) continue;
        for (int32_t t = 0; t < T; ++t) {
            const float p = w[size_t(t)] / sum;
            const float* vt = v_rows + size_t(t) * kv_dim + size_t(g) * size_t(head_dim);
            for (int32_t i = 0; i < head_dim; ++i) oh[i] += p * vt[i];
        }
    }
}

void swiglu(const float* gate, const float* up, int32_t n, float* act) {
    for (int32_t i = 0; i < n; ++i) act[i] = gate[i] / (1.0f + std::exp(-gate[i])) * up[i];
}

int32_t argmax(const float* v, int32_t n) {
    if (n < 2) return 0;
    int32_t best = 0;
    for (int32_t i = 1; i < n; ++i)
        if (v[i] > v[best]) best = i;
    return best;
}

} // namespace vivirov::dense
