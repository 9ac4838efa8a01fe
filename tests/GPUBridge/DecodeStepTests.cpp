// A toy dense decode step (hidden 64, 4 query and 2 key/value heads, three
// cached positions, two layers) encoded as one batch, against the same step
// on the engine's CPU kernels.
#include "DeviceVec.h"
#include "GpuTestSupport.h"
#include "engine/vm_cabi_v2/fused_q_kernels.h"
#include "vm_gpu.h"

#include <algorithm>
#include <cmath>

using namespace gputest;

namespace {

constexpr uint32_t H = 64, HEADS = 4, KV_HEADS = 2, HD = 16, KV = KV_HEADS * HD, F = 128, V = 96, LAYERS = 2;
constexpr uint32_t POS = 3, CTX = POS + 1;
constexpr float EPS = 1e-6f, THETA = 10000.0f;

struct Matrix {
    uint32_t rows, cols;
    size_t off; // byte offset in the weight buffer
};

struct Layer {
    Matrix q, k, v, o, gate, up, down;
    std::vector<float> attn_norm, ffn_norm, bq, bk, bv;
    std::vector<float> k_cache, v_cache; // CTX rows of KV; rows < POS filled
};

struct Model {
    std::vector<uint8_t> weights;
    std::vector<Layer> layers;
    std::vector<float> out_norm, embedding;
    Matrix out;
};

Matrix add_matrix(std::vector<uint8_t>& w, uint32_t rows, uint32_t cols, std::mt19937& rng) {
    std::vector<uint8_t> m = random_rows(kQ8_0, rows, cols, rng);
    Matrix mx{rows, cols, w.size()};
    w.insert(w.end(), m.begin(), m.end());
    return mx;
}

Model make_model() {
    std::mt19937 rng(2024);
    Model m;
    for (uint32_t l = 0; l < LAYERS; ++l) {
        Layer L;
        L.q = add_matrix(m.weights, H, H, rng);
        L.k = add_matrix(m.weights, KV, H, rng);
        L.v = add_matrix(m.weights, KV, H, rng);
        L.o = add_matrix(m.weights, H, H, rng);
        L.gate = add_matrix(m.weights, F, H, rng);
        L.up = add_matrix(m.weights, F, H, rng);
        L.down = add_matrix(m.weights, H, F, rng);
        L.attn_norm = random_floats(H, rng, 0.5f, 1.5f);
        L.ffn_norm = random_floats(H, rng, 0.5f, 1.5f);
        L.bq = random_floats(H, rng, -0.1f, 0.1f);
        L.bk = random_floats(KV, rng, -0.1f, 0.1f);
        L.bv = random_floats(KV, rng, -0.1f, 0.1f);
        L.k_cache = random_floats(CTX * KV, rng);
        L.v_cache = random_floats(CTX * KV, rng);
        std::fill(L.k_cache.begin() + POS * KV, L.k_cache.end(), 0.0f);
        std::fill(L.v_cache.begin() + POS * KV, L.v_cache.end(), 0.0f);
        m.layers.push_back(std::move(L));
    }
    m.out = add_matrix(m.weights, V, H, rng);
    m.out_norm = random_floats(H, rng, 0.5f, 1.5f);
    m.embedding = random_floats(H, rng);
    return m;
}

// ---- the step on the CPU kernels ----

std::vector<float> cpu_matvec(const Model& m, const Matrix& w, const std::vector<float>& x) {
    std::vector<float> y(w.rows);
    EXPECT_TRUE(vm::apex::fused_q_gemv(kQ8_0, m.weights.data() + w.off, int32_t(w.rows), int32_t(w.cols), x.data(),
                                       y.data()));
    return y;
}

std::vector<float> cpu_rmsnorm(const std::vector<float>& x, const std::vector<float>& w) {
    double ss = 0;
    for (float v : x) ss += double(v) * v;
    const float scale = float(1.0 / std::sqrt(ss / double(x.size()) + EPS));
    std::vector<float> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) out[i] = x[i] * scale * w[i];
    return out;
}

void cpu_rope(float* v, const float* bias, uint32_t heads) {
    for (uint32_t h = 0; h < heads; ++h)
        for (uint32_t i = 0; i < HD / 2; ++i) {
            float* p = v + h * HD;
            const double x0 = p[i] + bias[h * HD + i], x1 = p[i + HD / 2] + bias[h * HD + i + HD / 2];
            const double a = POS * std::pow(double(THETA), -2.0 * i / HD);
            p[i] = float(x0 * std::cos(a) - x1 * std::sin(a));
            p[i + HD / 2] = float(x0 * std::sin(a) + x1 * std::cos(a));
        }
}

std::vector<float> cpu_step(Model m) {
    std::vector<float> x = m.embedding;
    for (Layer& L : m.layers) {
        std::vector<float> h = cpu_rmsnorm(x, L.attn_norm);
        std::vector<float> q = cpu_matvec(m, L.q, h), k = cpu_matvec(m, L.k, h), v = cpu_matvec(m, L.v, h);
        cpu_rope(q.data(), L.bq.data(), HEADS);
        cpu_rope(k.data(), L.bk.data(), KV_HEADS);
        for (uint32_t i = 0; i < KV; ++i) {
            L.k_cache[POS * KV + i] = k[i];
            L.v_cache[POS * KV + i] = v[i] + L.bv[i];
        }
        std::vector<float> att(H);
        for (uint32_t hh = 0; hh < HEADS; ++hh) {
            const uint32_t kvh = hh / (HEADS / KV_HEADS);
            std::vector<double> s(CTX);
            double mx = -1e300, sum = 0;
            for (uint32_t t = 0; t < CTX; ++t) {
                double d = 0;
                for (uint32_t i = 0; i < HD; ++i) d += double(q[hh * HD + i]) * L.k_cache[t * KV + kvh * HD + i];
                s[t] = d / std::sqrt(double(HD));
                mx = std::max(mx, s[t]);
            }
            for (double& e : s) sum += (e = std::exp(e - mx));
            for (uint32_t i = 0; i < HD; ++i) {
                double acc = 0;
                for (uint32_t t = 0; t < CTX; ++t) acc += s[t] / sum * L.v_cache[t * KV + kvh * HD + i];
                att[hh * HD + i] = float(acc);
            }
        }
        std::vector<float> o = cpu_matvec(m, L.o, att);
        for (uint32_t i = 0; i < H; ++i) x[i] += o[i];
        std::vector<float> h2 = cpu_rmsnorm(x, L.ffn_norm);
        std::vector<float> g = cpu_matvec(m, L.gate, h2), u = cpu_matvec(m, L.up, h2), a(F);
        for (uint32_t i = 0; i < F; ++i) a[i] = g[i] / (1.0f + std::exp(-g[i])) * u[i];
        std::vector<float> d = cpu_matvec(m, L.down, a);
        for (uint32_t i = 0; i < H; ++i) x[i] += d[i];
    }
    return cpu_matvec(m, m.out, cpu_rmsnorm(x, m.out_norm));
}

} // namespace

TEST(GpuDecodeStep, OneBatchGivesTheCpuStepsLogitsAndArgmax) {
    REQUIRE_BRIDGE();
    ASSERT_TRUE(vmb_fusion_available());
    const Model m = make_model();
    const std::vector<float> want = cpu_step(m);

    DeviceVec<uint8_t> w(m.weights);
    DeviceVec<float> x(m.embedding), h(H), q(H), kt(KV), vt(KV), att(H), o(H), h2(H), g(F), u(F), a(F), d(H),
        out_norm(m.out_norm), logits(V);
    DeviceVec<uint32_t> best(1, 999);
    std::vector<std::unique_ptr<DeviceVec<float>>> keep;
    auto dev = [&](const std::vector<float>& v) {
        keep.push_back(std::make_unique<DeviceVec<float>>(v));
        return keep.back()->buf();
    };
    const size_t slot = size_t(POS) * KV * 4;
    auto mm = [&](const Matrix& mx, void* in, void* out_buf) {
        ASSERT_TRUE(vmb_f_matmul(kQ8_0, w.buf(), mx.off, in, 0, out_buf, 0, mx.rows, mx.cols, 1));
    };

    vmb_arena_reset();
    vmb_command_buffer_begin();
    for (const Layer& L : m.layers) {
        void* kc = dev(L.k_cache);
        void* vc = dev(L.v_cache);
        vmb_f_rmsnorm(x.buf(), 0, dev(L.attn_norm), 0, h.buf(), 0, H, EPS);
        vmb_barrier();
        mm(L.q, h.buf(), q.buf());
        mm(L.k, h.buf(), kt.buf());
        mm(L.v, h.buf(), vt.buf());
        vmb_barrier();
        vmb_f_rope(q.buf(), 0, dev(L.bq), 0, 1, q.buf(), 0, HEADS, HD, POS, THETA);
        vmb_f_rope(kt.buf(), 0, dev(L.bk), 0, 1, kc, slot, KV_HEADS, HD, POS, THETA);
        vmb_f_addbias(vt.buf(), 0, dev(L.bv), 0, 1, vc, slot, KV);
        vmb_barrier();
        vmb_f_attention(q.buf(), 0, kc, 0, vc, 0, att.buf(), 0, CTX, HD, KV, HEADS / KV_HEADS, HEADS);
        vmb_barrier();
        mm(L.o, att.buf(), o.buf());
        vmb_barrier();
        vmb_f_residual(x.buf(), 0, o.buf(), 0, H);
        vmb_barrier();
        vmb_f_rmsnorm(x.buf(), 0, dev(L.ffn_norm), 0, h2.buf(), 0, H, EPS);
        vmb_barrier();
        mm(L.gate, h2.buf(), g.buf());
        mm(L.up, h2.buf(), u.buf());
        vmb_barrier();
        vmb_f_silu(g.buf(), 0, u.buf(), 0, a.buf(), 0, F);
        vmb_barrier();
        mm(L.down, a.buf(), d.buf());
        vmb_barrier();
        vmb_f_residual(x.buf(), 0, d.buf(), 0, H);
        vmb_barrier();
    }
    vmb_f_rmsnorm(x.buf(), 0, out_norm.buf(), 0, h.buf(), 0, H, EPS);
    vmb_barrier();
    mm(m.out, h.buf(), logits.buf());
    vmb_barrier();
    vmb_f_argmax(logits.buf(), 0, best.buf(), 0, V);
    ASSERT_TRUE(vmb_command_buffer_commit_and_wait());

    double scale = 0;
    for (float v : want) scale = std::max(scale, double(std::fabs(v)));
    for (uint32_t i = 0; i < V; ++i) EXPECT_NEAR(logits[i], want[i], 1e-4 * scale) << "logit " << i;
    const auto top = std::max_element(want.begin(), want.end()) - want.begin();
    EXPECT_EQ(best[0], uint32_t(top));
}
