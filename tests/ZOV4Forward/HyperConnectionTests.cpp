// The hyper-connection arithmetic against closed forms and against a plain
// double-precision reference on the tiny model's weights.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/zov4/zov4_hyper_connections.h"
#include "engine/zov4/zov4_row_kernels.h"
#include "tests/ZOV4Forward/ForwardTestSupport.h"

using namespace vivirov::test;
using namespace vm::zov4;

namespace {

std::vector<float> wave(size_t n, float phase) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = std::sin(0.61f * float(i) + phase) * (1.0f + 0.1f * float(i % 7));
    return v;
}

double sigmoid(double z) { return 1.0 / (1.0 + std::exp(-z)); }

// pre, post and the Sinkhorn comb of one position, in double.
void splitReference(const float* L, const float* scale, const float* base, int S, double eps, std::vector<double>& pre,
                    std::vector<double>& post, std::vector<double>& comb) {
    pre.assign(size_t(S), 0);
    post.assign(size_t(S), 0);
    comb.assign(size_t(S * S), 0);
    for (int i = 0; i < S; ++i) {
        pre[size_t(i)] = sigmoid(double(L[i]) * scale[0] + base[i]) + eps;
        post[size_t(i)] = 2 * sigmoid(double(L[S + i]) * scale[1] + base[S + i]);
    }
    for (int r = 0; r < S; ++r) {
        double top = -INFINITY, sum = 0;
        std::vector<double> c(static_cast<size_t>(S));
        for (int k = 0; k < S; ++k) {
            c[size_t(k)] = double(L[2 * S + r * S + k]) * scale[2] + base[2 * S + r * S + k];
            top = std::max(top, c[size_t(k)]);
        }
        for (int k = 0; k < S; ++k) sum += c[size_t(k)] = std::exp(c[size_t(k)] - top);
        for (int k = 0; k < S; ++k) comb[size_t(r * S + k)] = c[size_t(k)] / sum + eps;
    }
    auto columns = [&] {
        for (int k = 0; k < S; ++k) {
            double t = 0;
            for (int r = 0; r < S; ++r) t += comb[size_t(r * S + k)];
            for (int r = 0; r < S; ++r) comb[size_t(r * S + k)] /= eps + t;
        }
    };
    auto rows = [&] {
        for (int r = 0; r < S; ++r) {
            double t = 0;
            for (int k = 0; k < S; ++k) t += comb[size_t(r * S + k)];
            for (int k = 0; k < S; ++k) comb[size_t(r * S + k)] /= eps + t;
        }
    };
    columns();
    for (int it = 1; it < 20; ++it) {
        rows();
        columns();
    }
}

// Each position's streams scaled to unit RMS, in double.
std::vector<double> normalised(const std::vector<float>& streams, size_t SE, size_t n, double eps) {
    std::vector<double> z(streams.begin(), streams.end());
    for (size_t t = 0; t < n; ++t) {
        double s = 0;
        for (size_t i = 0; i < SE; ++i) s += z[t * SE + i] * z[t * SE + i];
        const double scale = 1 / std::sqrt(eps + s / double(SE));
        for (size_t i = 0; i < SE; ++i) z[t * SE + i] *= scale;
    }
    return z;
}

} // namespace

TEST(ZOV4HyperConnections, OneStreamFollowsItsClosedForm) {
    const float L[3] = {0.3f, -1.2f, 5.0f}, scale[3] = {1.5f, 0.5f, 2.0f}, base[3] = {0.1f, 0.2f, -0.4f};
    const float eps = 0.01f;
    float out[3];
    hc_split_sinkhorn(L, scale, base, out, 1, 20, eps, 1);
    EXPECT_NEAR(out[0], sigmoid(0.3 * 1.5 + 0.1) + eps, 1e-6);
    EXPECT_NEAR(out[1], 2 * sigmoid(-1.2 * 0.5 + 0.2), 1e-6);
    // The 1×1 matrix starts at 1 + eps; each of the 39 passes maps M to M / (eps + M).
    double m = 1 + eps;
    for (int pass = 0; pass < 39; ++pass) m = m / (eps + m);
    EXPECT_NEAR(out[2], m, 1e-6);
}

TEST(ZOV4HyperConnections, SinkhornMakesColumnsSumToOneAndKeepsUniformMatricesUniform) {
    const int S = 4, width = S * (S + 2), n = 3;
    const std::vector<float> L = wave(size_t(width * n), 0.2f), base = wave(size_t(width), 1.3f);
    const float scale[3] = {0.7f, 0.9f, 1.1f};
    std::vector<float> out(static_cast<size_t>(width * n));
    hc_split_sinkhorn(L.data(), scale, base.data(), out.data(), S, 20, 0.0f, n);
    for (int t = 0; t < n; ++t) {
        const float* c = out.data() + t * width + 2 * S;
        for (int k = 0; k < S; ++k) {
            double col = 0, row = 0;
            for (int r = 0; r < S; ++r) col += c[r * S + k], row += c[k * S + r];
            EXPECT_NEAR(col, 1.0, 1e-6);
            EXPECT_NEAR(row, 1.0, 1e-2); // rows only approximately
        }
    }
    // Equal comb logits: every entry stays equal, at 1/S.
    std::vector<float> flat(size_t(width), 0.5f), zero(size_t(width), 0.0f), uniform(static_cast<size_t>(width));
    hc_split_sinkhorn(flat.data(), scale, zero.data(), uniform.data(), S, 20, 1e-6f, 1);
    for (int i = 0; i < S * S; ++i) {
        EXPECT_EQ(uniform[size_t(2 * S + i)], uniform[size_t(2 * S)]);
        EXPECT_NEAR(uniform[size_t(2 * S + i)], 1.0 / S, 1e-5);
    }
    // No positions: nothing written.
    std::vector<float> untouched(size_t(width), 42.0f);
    hc_split_sinkhorn(L.data(), scale, base.data(), untouched.data(), S, 20, 0.0f, 0);
    EXPECT_EQ(untouched, std::vector<float>(size_t(width), 42.0f));
}

TEST(ZOV4HyperConnections, ExpansionTakesColumnsOfTheMixingMatrix) {
    const int64_t E = 5, S = 2;
    std::vector<float> xOld(static_cast<size_t>(S * E)), f(static_cast<size_t>(E)), out(static_cast<size_t>(S * E));
    for (int64_t i = 0; i < E; ++i) {
        xOld[size_t(i)] = 1.0f;
        xOld[size_t(E + i)] = 10.0f;
        f[size_t(i)] = float(i);
    }
    // New stream j takes column j: out[0] = 1·1 + 3·10, out[1] = 2·1 + 4·10.
    const float comb[4] = {1, 2, 3, 4}, noPost[2] = {0, 0};
    hc_expand(f.data(), xOld.data(), noPost, comb, out.data(), E, S, 1);
    for (int64_t i = 0; i < E; ++i) {
        EXPECT_EQ(out[size_t(i)], 31.0f);
        EXPECT_EQ(out[size_t(E + i)], 42.0f);
    }
    // Identity mixing copies the old streams; post 1 adds the half's output to each.
    const float identity[4] = {1, 0, 0, 1}, ones[2] = {1, 1};
    hc_expand(f.data(), xOld.data(), noPost, identity, out.data(), E, S, 1);
    EXPECT_EQ(out, xOld);
    hc_expand(f.data(), xOld.data(), ones, identity, out.data(), E, S, 1);
    for (int64_t i = 0; i < E; ++i) {
        EXPECT_EQ(out[size_t(i)], 1.0f + float(i));
        EXPECT_EQ(out[size_t(E + i)], 10.0f + float(i));
    }
    // The weighted sum mixes the streams down.
    const float w[2] = {0.5f, 2.0f};
    std::vector<float> y(static_cast<size_t>(E));
    hc_weighted_sum(xOld.data(), w, y.data(), E, S, 1);
    EXPECT_EQ(y, std::vector<float>(size_t(E), 20.5f));
}

TEST(ZOV4HyperConnections, VectorAndPortableRowKernelsGiveTheSameBits) {
    const RowKernels* vec = avx2_row_kernels();
    if (!vec) GTEST_SKIP() << "no AVX2 on this CPU";
    const RowKernels& portable = portable_row_kernels();
    for (int64_t E : {4, 259, 1024}) {
        const int64_t S = 3;
        const std::vector<float> x = wave(size_t(S * E), 0.1f), f = wave(size_t(E), 2.0f), w = wave(size_t(E), 4.0f);
        const std::vector<float> mix = wave(size_t(S + S * S), 0.9f);
        std::vector<float> a(static_cast<size_t>(S * E)), b(static_cast<size_t>(S * E));
        vec->weighted_sum(x.data(), mix.data(), a.data(), E, S);
        portable.weighted_sum(x.data(), mix.data(), b.data(), E, S);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), size_t(E) * 4), 0) << E;
        vec->expand(f.data(), x.data(), mix.data(), mix.data() + S, a.data(), E, S);
        portable.expand(f.data(), x.data(), mix.data(), mix.data() + S, b.data(), E, S);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * 4), 0) << E;
        vec->rms_norm_row(x.data(), w.data(), a.data(), E, 1e-6f);
        portable.rms_norm_row(x.data(), w.data(), b.data(), E, 1e-6f);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), size_t(E) * 4), 0) << E;
    }
}

// The stream and head norms take their mean square through a short-cut of
// the in-order double sum; it must keep that sum's bits. The first row is
// the hard case: (1 + 2^-12)² lies halfway between two floats, the in-order
// sum drops every later square (a quarter of its last place), while any
// other order keeps them and rounds the mean up instead.
TEST(ZOV4HyperConnections, MeanSquareKeepsTheBitsOfTheInOrderSum) {
    auto inOrder = [](const std::vector<float>& v) {
        double s = 0.0;
        for (float x : v) s += double(x) * double(x);
        return float(s / double(v.size()));
    };
    std::vector<float> tie(1024, 0x1p-27f);
    tie[0] = 1.0f + 0x1p-12f;
    std::vector<std::vector<float>> rows = {tie};
    for (size_t n : {size_t(3), size_t(128), size_t(2048), size_t(8195)})
        for (float scale : {1e-19f, 1.0f, 3e18f})
            for (int seed = 0; seed < 40; ++seed) {
                std::vector<float> v = wave(n, 0.37f * float(seed));
                v[size_t(seed) % n] *= 1e3f; // one large term among small ones
                for (float& x : v) x *= scale;
                rows.push_back(std::move(v));
            }
    for (const auto& v : rows) {
        const float got = mean_square_in_order(v.data(), int64_t(v.size()));
        const float want = inOrder(v);
        EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << v.size() << " values, " << got << " vs " << want;
    }
}

TEST(ZOV4HyperConnections, PreMixAndHeadMatchADoublePrecisionReference) {
    const auto f = cpuForward(sharedDeepSeekV4Model("base").path());
    const size_t S = size_t(f->n_hc), E = size_t(f->n_embd), SE = S * E, n = 3, width = S * (S + 2);
    const std::vector<float> streams = wave(n * SE, 0.4f);
    const std::vector<double> z = normalised(streams, SE, n, f->rms_eps);

    std::vector<float> x(n * E);
    const ZOV4Forward::HCMix mix = f->hc_pre(streams.data(), f->wl(1, "hc_attn_fn.weight"),
                                             f->wl(1, "hc_attn_scale.weight"), f->wl(1, "hc_attn_base.weight"),
                                             x.data(), int64_t(n));
    const std::vector<float> fn = decoded(*f->wl(1, "hc_attn_fn.weight"));
    const std::vector<float> scale = decoded(*f->wl(1, "hc_attn_scale.weight"));
    const std::vector<float> base = decoded(*f->wl(1, "hc_attn_base.weight"));
    for (size_t t = 0; t < n; ++t) {
        std::vector<float> logits(width);
        for (size_t r = 0; r < width; ++r) {
            double s = 0;
            for (size_t k = 0; k < SE; ++k) s += double(fn[r * SE + k]) * z[t * SE + k];
            logits[r] = float(s);
        }
        std::vector<double> pre, post, comb;
        splitReference(logits.data(), scale.data(), base.data(), int(S), f->hc_eps, pre, post, comb);
        for (size_t j = 0; j < S; ++j) EXPECT_NEAR(mix.post[t * S + j], post[j], 1e-5);
        for (size_t j = 0; j < S * S; ++j) EXPECT_NEAR(mix.comb[t * S * S + j], comb[j], 1e-5);
        for (size_t i = 0; i < E; ++i) {
            double want = 0;
            for (size_t k = 0; k < S; ++k) want += pre[k] * streams[(t * S + k) * E + i];
            ASSERT_NEAR(x[t * E + i], want, 1e-5 * (1 + std::fabs(want))) << t << "," << i;
        }
    }

    std::vector<float> y(n * E);
    f->hc_head(streams.data(), y.data(), int64_t(n));
    const std::vector<float> hfn = decoded(*f->model.find("output_hc_fn.weight"));
    const float hs = decoded(*f->model.find("output_hc_scale.weight"))[0];
    const std::vector<float> hb = decoded(*f->model.find("output_hc_base.weight"));
    for (size_t t = 0; t < n; ++t) {
        std::vector<double> w(S);
        for (size_t r = 0; r < S; ++r) {
            double s = 0;
            for (size_t k = 0; k < SE; ++k) s += double(hfn[r * SE + k]) * z[t * SE + k];
            w[r] = f->hc_eps + sigmoid(s * hs + hb[r]);
        }
        for (size_t i = 0; i < E; ++i) {
            double want = 0;
            for (size_t k = 0; k < S; ++k) want += w[k] * streams[(t * S + k) * E + i];
            ASSERT_NEAR(y[t * E + i], want, 1e-5 * (1 + std::fabs(want))) << t << "," << i;
        }
    }
}
