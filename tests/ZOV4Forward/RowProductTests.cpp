// Several weight products in one pool pass: every output near the exact
// product whatever the type, row count, batch size and output stride, a
// malformed product refused before anything is written, and the portable
// kernels' bits kept when the engine is forced to them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/vm_cabi_v2/dequant.h"
#include "engine/vm_cabi_v2/fused_q_kernels.h"
#include "engine/vm_cabi_v2/kernel_ops.h"
#include "engine/zov4/zov4_row_products.h"
#include "tests/Kernels/KernelTestSupport.h"

using vm::zov4::RowProduct;
using namespace vivirov::test;

namespace {

constexpr uint32_t kF32 = 0, kQ8_0 = 8, kQ4_K = 12;

std::vector<float> activations(size_t n, float phase) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = std::sin(0.31f * float(i) + phase);
    return v;
}

void expectNearExact(const TestMatrix& w, const std::vector<float>& X, int32_t M, const float* Y, int32_t ldy,
                     const char* what) {
    EXPECT_LT(worstRelativeError(w, X.data(), M, Y, ldy, 0), kProductTolerance) << what;
}

TEST(RowProducts, EveryOutputIsNearTheExactProduct) {
    struct Case {
        uint32_t type;
        int32_t N, K, M;
        const char* what;
    } cases[] = {
        {kQ8_0, 7, 64, 1, "small Q8_0, on the caller"},
        {kQ8_0, 600, 256, 1, "Q8_0 on the pool"},
        {kQ8_0, 301, 2048, 6, "Q8_0, four rows and two"},
        {kQ8_0, 64, 512, 21, "Q8_0 beyond sixteen rows"},
        {kF32, 513, 100, 1, "F32 on the pool, a tail past the lanes"},
        {kF32, 40, 96, 17, "F32 beyond sixteen rows"},
        {kQ4_K, 70, 512, 3, "Q4_K batch"},
    };
    for (const Case& c : cases) {
        const TestMatrix w(c.type, c.N, c.K, 11);
        const auto X = activations(size_t(c.M) * c.K, 0.5f);
        std::vector<float> Y(size_t(c.M) * c.N, 1e30f);
        ASSERT_TRUE(vm::zov4::row_product({c.type, w.data(), c.N, c.K, X.data(), Y.data(), 0}, c.M)) << c.what;
        expectNearExact(w, X, c.M, Y.data(), c.N, c.what);
    }
}

// Two products with their own inputs, interleaved into one strided output
// as the grouped output projection lays them out, in a single pass.
TEST(RowProducts, ProductsShareOnePassIntoAStridedOutput) {
    const TestMatrix a(kQ8_0, 300, 256, 3), b(kF32, 300, 128, 4);
    const int32_t M = 3;
    const auto Xa = activations(size_t(M) * a.K, 0.1f), Xb = activations(size_t(M) * b.K, 0.9f);
    const int32_t ldy = 2 * 300;
    std::vector<float> Y(size_t(M) * ldy, 1e30f);
    const RowProduct both[2] = {{kQ8_0, a.data(), a.N, a.K, Xa.data(), Y.data(), ldy},
                                {kF32, b.data(), b.N, b.K, Xb.data(), Y.data() + 300, ldy}};
    ASSERT_TRUE(vm::zov4::row_products(both, 2, M));
    expectNearExact(a, Xa, M, Y.data(), ldy, "first");
    expectNearExact(b, Xb, M, Y.data() + 300, ldy, "second");
}

TEST(RowProducts, AMalformedProductIsRefusedBeforeAnythingIsWritten) {
    const TestMatrix good(kQ8_0, 600, 256, 5);
    const auto X = activations(256, 0.2f);
    std::vector<float> Y(600, 7.0f), Z(600, 7.0f);
    const RowProduct cases[] = {
        {kQ8_0, good.data(), 600, 48, X.data(), Z.data(), 0}, // K not whole blocks
        {kQ8_0, nullptr, 600, 256, X.data(), Z.data(), 0},
        {99, good.data(), 600, 256, X.data(), Z.data(), 0},   // unknown type
        {kQ8_0, good.data(), 600, 256, X.data(), Z.data(), 10}, // stride below N
    };
    for (const RowProduct& bad : cases) {
        const RowProduct pair[2] = {{kQ8_0, good.data(), 600, 256, X.data(), Y.data(), 0}, bad};
        EXPECT_FALSE(vm::zov4::row_products(pair, 2, 1));
        for (size_t i = 0; i < Y.size(); ++i) ASSERT_EQ(Y[i], 7.0f) << i;
    }
    EXPECT_FALSE(vm::zov4::row_product({kQ8_0, good.data(), 600, 256, X.data(), Y.data(), 0}, 0));
}

TEST(RowProducts, PortableKernelsKeepTheSingleVectorBits) {
    vm::force_portable_kernels(true);
    const TestMatrix w(kQ8_0, 700, 512, 8);
    const auto x = activations(512, 0.3f);
    std::vector<float> got(700), want(700);
    const bool ok = vm::zov4::row_product({kQ8_0, w.data(), 700, 512, x.data(), got.data(), 0}, 1);
    vm::apex::fused_q_gemv(kQ8_0, w.data(), 700, 512, x.data(), want.data());
    vm::force_portable_kernels(false);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * 4), 0);
}

} // namespace
