// Low-rank om2 products against double-precision references from the
// pack writer: the plain and pair products, the pool split (same bits as the
// serial rows), rank 0, the residual mixing rules and the rho caps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <random>
#include <vector>

#include "engine/vm_cabi_v2/evs_settings.h"
#include "engine/vm_cabi_v2/low_rank_gemv.h"
#include "engine/vm_cabi_v2/om2_pack.h"
#include "tests/support/ChildTest.h"
#include "tests/support/Om2Writer.h"
#include "tests/support/TempDir.h"

using namespace vm::apex;
using vivirov::test::Om2Writer;
using vivirov::test::TempDir;

namespace {

Om2Pack loaded(const Om2Writer& w, const TempDir& dir) {
    Om2Pack p;
    EXPECT_TRUE(load_om2_file(w.write(dir.file("p.om2")), p));
    return p;
}

std::vector<float> randomVector(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(static_cast<size_t>(n), 0.0f);
    for (float& v : x) v = u(rng);
    return x;
}

// Restores the process-wide mixing settings after a test changes them.
struct EvsGuard {
    int mode = g_evs_mode();
    float lambda = g_evs_lambda(), rho = g_evs_rho(), alpha = g_evs_alpha_fixed();
    ~EvsGuard() {
        g_evs_mode() = mode;
        g_evs_lambda() = lambda;
        g_evs_rho() = rho;
        g_evs_alpha_fixed() = alpha;
    }
};

double rms(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x * x;
    return std::sqrt(s / double(v.size()));
}

} // namespace

TEST(LowRank, ProductsMatchTheDoubleReferenceAndThePoolSplitKeepsTheBits) {
    TempDir dir;
    for (int rows : {7, 255, 1024}) {
        const Om2Writer w = Om2Writer::random(uint32_t(rows), 96, 16, 0, uint32_t(rows));
        const Om2Pack p = loaded(w, dir);
        const auto x = randomVector(96, 5);
        std::vector<float> y(static_cast<size_t>(rows), 0.0f);
        dual_gemv_f32_det(p.U.data(), p.V.data(), p.S.data(), rows, 96, 16, x.data(), y.data(), nullptr);
        const auto ref = w.lowRank(x);
        for (int i = 0; i < rows; ++i) ASSERT_NEAR(y[size_t(i)], ref[size_t(i)], 1e-4 * (1 + std::fabs(ref[size_t(i)])));
        if (rows == 1024) {
            // The first 255 rows alone run serially and give the same bits.
            std::vector<float> head(255);
            dual_gemv_f32_det(p.U.data(), p.V.data(), p.S.data(), 255, 96, 16, x.data(), head.data(), nullptr);
            for (int i = 0; i < 255; ++i) ASSERT_EQ(head[size_t(i)], y[size_t(i)]);
        }
    }
}

TEST(LowRank, PairMatchesTwoSingleProductsAndRankZeroGivesZeros) {
    TempDir dir;
    const Om2Writer wa = Om2Writer::random(40, 64, 8, 0, 1), wb = Om2Writer::random(40, 64, 600, 0, 2);
    const Om2Pack a = loaded(wa, dir), b = loaded(wb, dir);
    const auto x = randomVector(64, 3);
    std::vector<float> ya(40), yb(40), sa(40), sb(40);
    dual_gemv_f32_pair_det(a.U.data(), a.V.data(), a.S.data(), b.U.data(), b.V.data(), b.S.data(), 40, 64, 8,
                           600, x.data(), ya.data(), yb.data(), nullptr);
    dual_gemv_f32_det(a.U.data(), a.V.data(), a.S.data(), 40, 64, 8, x.data(), sa.data(), nullptr);
    std::vector<float> scratch(600);
    dual_gemv_f32_det(b.U.data(), b.V.data(), b.S.data(), 40, 64, 600, x.data(), sb.data(), scratch.data());
    EXPECT_EQ(ya, sa);
    EXPECT_EQ(yb, sb); // rank above 512: heap temporary and caller scratch agree

    std::vector<float> z(40, 9.0f);
    dual_gemv_f32_det(a.U.data(), a.V.data(), a.S.data(), 40, 64, 0, x.data(), z.data(), nullptr);
    EXPECT_EQ(z, std::vector<float>(40, 0.0f));
}

TEST(LowRank, HybridWithFixedWeightAndNoCapIsLowRankPlusResidual) {
    EvsGuard guard;
    g_evs_mode() = 0;
    g_evs_rho() = 0.0f;
    TempDir dir;
    // 2 scales over a 4 × 16 residual with groups of 32: rows 0-1 scale 0,
    // rows 2-3 scale 1; a third group would use 1.
    for (uint32_t nScales : {2u, 1u, 0u}) {
        const Om2Writer w = Om2Writer::random(4, 16, 3, nScales, 7 + nScales);
        const Om2Pack p = loaded(w, dir);
        const auto x = randomVector(16, 11);
        std::vector<float> y(4);
        om2_hybrid_gemv(p, x.data(), y.data());
        const auto lr = w.lowRank(x), r = w.residual(x);
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(y[size_t(i)], lr[size_t(i)] + r[size_t(i)], 1e-4) << nScales;
    }
}

TEST(LowRank, ResidualWeightAndCapTable) {
    EvsGuard guard;
    TempDir dir;
    const Om2Writer w = Om2Writer::random(32, 32, 4, 0, 21);
    const Om2Pack p = loaded(w, dir);
    const auto x = randomVector(32, 22);
    const auto lr = w.lowRank(x);
    const double a = rms(lr);
    std::vector<float> y(32);

    struct Case {
        const char* name;
        int mode;
        float rho;
        float alpha;
        float residualScale; // residual = scale · low-rank direction pattern
        double wantFactor;   // expected mixing factor before any cap
    };
    std::vector<float> unit(32);
    for (int i = 0; i < 32; ++i) unit[size_t(i)] = (i % 2) ? 1.0f : -1.0f; // rms 1
    const Case cases[] = {
        {"fixed alpha given", 1, 0.0f, 0.25f, 1.0f, 0.25},
        {"adaptive, strong residual clamps to 0.05", 1, 0.0f, -1.0f, float(1000 * a), 0.05},
        {"adaptive, weak residual clamps to 8", 1, 0.0f, -1.0f, float(1e-3 * a), 8.0},
        {"adaptive, equal energy gives 1", 1, 0.0f, -1.0f, float(a), 1.0},
        {"fixed mode uses alpha_fixed", 0, 0.0f, -1.0f, 1.0f, 0.5},
    };
    for (const Case& c : cases) {
        g_evs_mode() = c.mode;
        g_evs_rho() = c.rho;
        g_evs_alpha_fixed() = 0.5f;
        std::vector<float> r(32);
        for (int i = 0; i < 32; ++i) r[size_t(i)] = c.residualScale * unit[size_t(i)];
        dual_gemv_plus(p.U.data(), p.V.data(), p.S.data(), 32, 32, 4, x.data(), r.data(), y.data(), nullptr, c.alpha);
        for (int i = 0; i < 32; ++i)
            ASSERT_NEAR(y[size_t(i)], lr[size_t(i)] + c.wantFactor * r[size_t(i)], 1e-3 * (1 + std::fabs(r[size_t(i)])))
                << c.name;
    }

    // rho 3 caps the mixed result at three times the low-rank rms.
    g_evs_mode() = 0;
    g_evs_rho() = 3.0f;
    g_evs_alpha_fixed() = 1.0f;
    std::vector<float> big(32);
    for (int i = 0; i < 32; ++i) big[size_t(i)] = float(100 * a) * unit[size_t(i)];
    dual_gemv_plus(p.U.data(), p.V.data(), p.S.data(), 32, 32, 4, x.data(), big.data(), y.data(), nullptr, -1.0f);
    EXPECT_NEAR(rms_f32(y.data(), 32), 3 * a, 1e-3 * a);

    // Without a residual the cap is rho times rms(x).
    g_evs_rho() = 0.01f;
    dual_gemv_plus(p.U.data(), p.V.data(), p.S.data(), 32, 32, 4, x.data(), nullptr, y.data(), nullptr, -1.0f);
    EXPECT_NEAR(rms_f32(y.data(), 32), 0.01 * rms_f32(x.data(), 32), 1e-5);
}

namespace {

// FNV-1a of the output bytes of rank-64 and rank-37 products on 1024 rows.
uint64_t productFingerprint() {
    uint64_t h = 1469598103934665603ULL;
    for (int rank : {64, 37}) {
        const int rows = 1024, cols = 200;
        const auto U = randomVector(rows * rank, 31), V = randomVector(cols * rank, 32), S = randomVector(rank, 33);
        const auto x = randomVector(cols, 34);
        std::vector<float> y(rows);
        dual_gemv_f32_det(U.data(), V.data(), S.data(), rows, cols, rank, x.data(), y.data(), nullptr);
        const auto* b = reinterpret_cast<const unsigned char*>(y.data());
        for (size_t i = 0; i < y.size() * sizeof(float); ++i) h = (h ^ b[i]) * 1099511628211ULL;
    }
    return h;
}

} // namespace

TEST(LowRankChild, Fingerprint) {
    if (!vivirov::test::isChildTest("LowRankChild.Fingerprint")) GTEST_SKIP() << "runs in a child process";
    std::printf("fingerprint=%llu\n", static_cast<unsigned long long>(productFingerprint()));
}

// The engine's thread budget sizes the deterministic pool; every size from
// 1 to 8 must give the same bytes.
TEST(LowRank, DeterministicProductsKeepTheirBytesForEveryPoolAndBlasThreadCount) {
    std::string first;
    for (int threads = 1; threads <= 8; ++threads) {
        const auto r = vivirov::test::runChildTest("LowRankChild.Fingerprint",
                                                   {{"VIVIROV_ENGINE_THREADS", std::to_string(threads)}});
        const auto at = r.stdoutData.find("fingerprint=");
        ASSERT_NE(at, std::string::npos) << r.stdoutData << r.stderrData;
        const std::string line = r.stdoutData.substr(at, r.stdoutData.find('\n', at) - at);
        if (threads == 1) first = line;
        EXPECT_EQ(line, first) << threads << " threads";
    }
}

TEST(LowRank, UStepIsZeroForRankZeroAndGemvMatchesTheReference) {
    std::vector<float> y(300, 5.0f);
    const auto U = randomVector(300 * 4, 1), t = randomVector(4, 2);
    dual_gemv_U_rows_det(U.data(), t.data(), 300, 0, y.data());
    EXPECT_EQ(y, std::vector<float>(300, 0.0f));

    const int M = 33, N = 70;
    const auto A = randomVector(M * N, 3), x = randomVector(N, 4);
    std::vector<float> out(M);
    vm::gemv_amx(A.data(), x.data(), out.data(), M, N);
    for (int i = 0; i < M; ++i) {
        double s = 0;
        for (int j = 0; j < N; ++j) s += double(A[size_t(i * N + j)]) * x[size_t(j)];
        EXPECT_NEAR(out[size_t(i)], s, 1e-4);
    }
}

TEST(LowRank, AdaptiveWeightClampsWhenTheResidualHasNoEnergy) {
    EvsGuard guard;
    g_evs_mode() = 1;
    g_evs_rho() = 3.0f;
    g_evs_lambda() = 1.0f;
    TempDir dir;
    const Om2Writer w = Om2Writer::random(16, 16, 4, 0, 41);
    const Om2Pack p = loaded(w, dir);
    const auto x = randomVector(16, 42);
    const std::vector<float> zeros(16, 0.0f);
    std::vector<float> y(16), lr(16);
    // A zero residual adds nothing whatever its weight (8), and the cap
    // leaves a result within three times the low-rank RMS alone.
    dual_gemv_plus(p.U.data(), p.V.data(), p.S.data(), 16, 16, 4, x.data(), zeros.data(), y.data(), nullptr, -1.0f);
    dual_gemv_f32(p.U.data(), p.V.data(), p.S.data(), 16, 16, 4, x.data(), lr.data(), nullptr);
    EXPECT_EQ(y, lr);
}
