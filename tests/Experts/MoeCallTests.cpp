// One CPU mixture-of-experts call on a DeepSeek-V4 model large enough that
// its experts run on the pool: routed experts (hash-table and forced top-1
// routing, several rows per expert) plus the shared expert, against a
// double-precision sum and with the same bits for any pool size.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/vm_cabi_v2/dequant.h"
#include "engine/vm_cabi_v2/det_pool.h"
#include "engine/zov4/zov4_forward.h"
#include "engine/zov4/zov4_moe_job.h"
#include "tests/support/PoolSizeHashes.h"
#include "tests/support/DeepSeekV4Fixture.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;
using vm::zov4::ZOV4Forward;

namespace {

constexpr int kE = 512, kFf = 256, kExperts = 4;

struct MoeModel {
    TempDir dir;
    DeepSeekV4Model files;
    std::unique_ptr<ZOV4Forward> f;
    MoeModel() {
        setenv("VIVIROV_UVM_RING_MB", "4", 1);
        DeepSeekV4Options o;
        o.shape.nEmbd = kE;
        o.shape.nFfExp = kFf;
        o.shape.nExpert = kExperts;
        o.shape.nExpertUsed = 2;
        o.shape.nLayer = 2;
        files = writeDeepSeekV4Model(dir.path(), "moe", o);
        f = std::make_unique<ZOV4Forward>(files.path());
        f->use_gpu = false;
    }
    std::vector<double> values(const std::string& name) const {
        const auto& t = files.tensors.at(name);
        uint64_t n = 1;
        for (uint64_t d : t.dims) n *= d;
        std::vector<float> v(n);
        EXPECT_TRUE(vm::dequant_tensor(t.type, reinterpret_cast<const uint8_t*>(t.bytes.data()), v.data(), n));
        return {v.begin(), v.end()};
    }
};

std::vector<float> inputs(int n) {
    std::vector<float> x(size_t(n) * kE);
    for (size_t i = 0; i < x.size(); ++i) x[i] = 0.8f * std::sin(0.37f * float(i) + 0.1f);
    return x;
}

double silu(double z) { return z / (1.0 + std::exp(-z)); }

// W (rows × cols, from `at`) times v.
std::vector<double> matvec(const std::vector<double>& W, const double* v, size_t rows, size_t cols, size_t at = 0) {
    std::vector<double> y(rows, 0.0);
    for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < cols; ++c) y[r] += W[at + r * cols + c] * v[c];
    return y;
}

TEST(MoeCall, ForcedExpertAndSharedExpertMatchTheDoublePrecisionSum) {
    MoeModel m;
    ZOV4Forward& f = *m.f;
    ASSERT_TRUE(f.expert_weights_norm); // one chosen expert: its weight is the scale
    const int il = 1, expert = 2, n = 3;
    const double w = f.expert_weights_scale, L = f.act_clamp.at(il);
    const std::string b = "blk." + std::to_string(il) + ".";
    const auto up = m.values(b + "ffn_up_exps.weight"), gate = m.values(b + "ffn_gate_exps.weight");
    const auto down = m.values(b + "ffn_down_exps.weight");
    const auto su = m.values(b + "ffn_up_shexp.weight"), sg = m.values(b + "ffn_gate_shexp.weight");
    const auto sd = m.values(b + "ffn_down_shexp.weight");

    const auto x = inputs(n);
    std::vector<float> out(x.size(), 7.0f);
    f.forced_expert = expert;
    f.moe(il, {1, 2, 3}, x.data(), out.data(), n);

    bool clamped = false;
    for (int t = 0; t < n; ++t) {
        const std::vector<double> xt(x.begin() + t * kE, x.begin() + (t + 1) * kE);
        const size_t slice = size_t(kFf) * kE * size_t(expert);
        const auto u = matvec(up, xt.data(), kFf, kE, slice), g = matvec(gate, xt.data(), kFf, kE, slice);
        const auto shu = matvec(su, xt.data(), kFf, kE), shg = matvec(sg, xt.data(), kFf, kE);
        std::vector<double> a(kFf), h(kFf);
        for (int i = 0; i < kFf; ++i) {
            clamped = clamped || std::fabs(u[size_t(i)]) > L || g[size_t(i)] > L;
            a[size_t(i)] = w * std::clamp(u[size_t(i)], -L, L) * silu(std::min(g[size_t(i)], L));
            h[size_t(i)] = shu[size_t(i)] * silu(shg[size_t(i)]);
        }
        const auto d = matvec(down, a.data(), kE, kFf, size_t(kE) * kFf * size_t(expert));
        const auto sh = matvec(sd, h.data(), kE, kFf);
        double scale = 0;
        for (int j = 0; j < kE; ++j) scale = std::max(scale, std::fabs(d[size_t(j)] + sh[size_t(j)]));
        for (int j = 0; j < kE; ++j)
            ASSERT_NEAR(out[size_t(t * kE + j)], d[size_t(j)] + sh[size_t(j)], 1e-4 * scale) << "row " << t << " " << j;
    }
    EXPECT_TRUE(clamped) << "the inputs should reach the activation clamp";
}

// Hash-routed rows (two experts each, some shared between rows) and forced
// rows; prints a hash of the output bits and whether the pool took the work.
TEST(MoeCallChild, Hash) {
    if (!isChildTest("MoeCallChild.Hash")) GTEST_SKIP() << "runs in a child process";
    MoeModel m;
    ZOV4Forward& f = *m.f;
    const int n = 7;
    const auto x = inputs(n);
    std::vector<float> out0(x.size()), out1(x.size());
    const uint64_t before = vm::apex::det_pool_global()->handoffs();
    f.moe(0, {5, 9, 5, 300, 41, 9, 77}, x.data(), out0.data(), n);
    f.forced_expert = 3;
    f.moe(1, {0}, x.data(), out1.data(), n);
    BitHash h;
    h.add(out0);
    h.add(out1);
    h.print(vm::apex::det_pool_global()->handoffs() > before ? " POOL 1" : " POOL 0");
}

TEST(MoeCall, SameBitsForAnyPoolSize) {
    // One thread runs the call inline; more hand it to the pool.
    for (const auto& run : expectSameHashForPoolSizes("MoeCallChild.Hash", {"1", "3", "8"}))
        EXPECT_NE(run.stdoutData.find(run.threads == "1" ? "POOL 0" : "POOL 1"), std::string::npos) << run.threads;
}

// A batch of hash-routed rows reaching more experts than fit the pool's
// product table at once, and a batch of forced rows: every row gets the
// bits of its own single-row call (the batched route reads each expert's
// weights once for all its rows, with the single-row order of sums).
TEST(MoeCall, EveryRowOfABatchHasTheBitsOfItsOwnCall) {
    TempDir dir;
    DeepSeekV4Options o;
    o.shape.nEmbd = kE;
    o.shape.nFfExp = 64;
    o.shape.nExpert = 24;
    o.shape.nExpertUsed = 2;
    o.shape.nLayer = 2;
    const DeepSeekV4Model files = writeDeepSeekV4Model(dir.path(), "many", o);
    ZOV4Forward f(files.path());
    f.use_gpu = false;
    const int n = 16;
    std::vector<int32_t> tokens;
    for (int t = 0; t < n; ++t) tokens.push_back(int32_t(t * 29 + 3));
    // Distinct experts the table gives these tokens in layer 0.
    const std::string& table = files.tensors.at("blk.0.ffn_gate_tid2eid.weight").bytes;
    std::vector<bool> seen(24, false);
    for (int32_t tok : tokens)
        for (int i = 0; i < 2; ++i) {
            int32_t id;
            std::memcpy(&id, table.data() + (size_t(tok) * 2 + size_t(i)) * 4, 4);
            seen[size_t(id)] = true;
        }
    ASSERT_GT(std::count(seen.begin(), seen.end(), true), 15);

    const auto x = inputs(n);
    for (int il : {0, 1}) {
        f.forced_expert = il == 1 ? 5 : -1;
        std::vector<float> batch(x.size(), 0.0f), alone(x.size(), 0.0f);
        f.moe(il, tokens, x.data(), batch.data(), n);
        for (int t = 0; t < n; ++t) f.moe(il, {tokens[size_t(t)]}, x.data() + t * kE, alone.data() + t * kE, 1);
        for (int t = 0; t < n; ++t)
            EXPECT_EQ(std::memcmp(batch.data() + t * kE, alone.data() + t * kE, kE * sizeof(float)), 0)
                << "layer " << il << " row " << t;
    }
}

// Networks that disagree on the output width, or a null weight matrix, are
// refused before anything is written.
TEST(MoeCall, MalformedNetworksWriteNothing) {
    std::vector<uint8_t> W(size_t(64) * 64 * 4, 0);
    std::vector<float> X(64, 1.0f), U(64), G(64), A(64), D(64), out(64, 3.0f);
    auto net = [&](int32_t K) {
        vm::zov4::GatedFfn n;
        n.W[0] = n.W[1] = n.W[2] = W.data();
        n.N = 32, n.K = K, n.rows = 1;
        n.X = X.data(), n.U = U.data(), n.G = G.data(), n.A = A.data(), n.D = D.data();
        return n;
    };
    const vm::zov4::GatedFfn widths[2] = {net(64), net(32)};
    EXPECT_FALSE(vm::zov4::run_gated_ffns(widths, 2, out.data()));
    vm::zov4::GatedFfn missing = net(64);
    missing.W[2] = nullptr;
    EXPECT_FALSE(vm::zov4::run_gated_ffns(&missing, 1, out.data()));
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 3.0f; }));
    const vm::zov4::GatedFfn good = net(64);
    EXPECT_TRUE(vm::zov4::run_gated_ffns(&good, 1, out.data()));
}

} // namespace
