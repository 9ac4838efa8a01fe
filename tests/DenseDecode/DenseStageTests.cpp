// Several products per pool job give bit for bit the single-thread product of
// each matrix: row claims cross product boundaries and ragged last claims.
#include "engine/vm_cabi/gguf_file.h"
#include "engine/vm_cabi_v2/fused_q_kernels.h"
#include "engine/vm_v2/dense_decode_stages.h"
#include "engine/vm_v2/dense_math.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/RandomBlocks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using vivirov::test::GGUFWriter;

namespace {

struct Matrix {
    std::string bytes;
    GGUFTensor t;
    Matrix(uint32_t type, uint64_t rows, uint64_t cols, uint32_t seed)
        : bytes(vivirov::test::randomBlocks(type, rows * cols, seed)) {
        t.dims = {cols, rows};
        t.type = type;
        t.nbytes = bytes.size();
        t.data = reinterpret_cast<const uint8_t*>(bytes.data());
    }
    std::vector<float> alone(const std::vector<float>& x) const {
        std::vector<float> y(t.dims[1]);
        EXPECT_TRUE(vm::apex::fused_q_gemv(t.type, t.data, int32_t(t.dims[1]), int32_t(t.dims[0]), x.data(), y.data()));
        return y;
    }
};

std::vector<float> input(size_t n) {
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = float(int(i * 37 % 101) - 50) * 0.01f;
    return x;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

} // namespace

TEST(DenseStages, ProductsSharingOneJobEqualEachProductAlone) {
    // Five products (more than one job's worth), row counts off the claim
    // size, mixed types, and a missing matrix whose output is left alone.
    const Matrix a(GGUFWriter::GQ8_0, 17, 256, 1), b(GGUFWriter::GF32, 1, 256, 2), c(GGUFWriter::GQ4_K, 300, 256, 3),
        d(GGUFWriter::GQ6_K, 33, 512, 4), e(GGUFWriter::GQ5_0, 64, 256, 5);
    const std::vector<float> x = input(256), x2 = input(512);
    std::vector<float> ya(17), yb(1), yc(300), yd(33), ye(64), untouched(5, 7.0f);
    vivirov::dense::cpu_products({{&a.t, x.data(), ya.data()},
                                  {&b.t, x.data(), yb.data()},
                                  {nullptr, x.data(), untouched.data()},
                                  {&c.t, x.data(), yc.data()},
                                  {&d.t, x2.data(), yd.data()},
                                  {&e.t, x.data(), ye.data()}});
    EXPECT_TRUE(sameBits(ya, a.alone(x)));
    EXPECT_TRUE(sameBits(yb, b.alone(x)));
    EXPECT_TRUE(sameBits(yc, c.alone(x)));
    EXPECT_TRUE(sameBits(yd, d.alone(x2)));
    EXPECT_TRUE(sameBits(ye, e.alone(x)));
    EXPECT_EQ(untouched, std::vector<float>(5, 7.0f));
}

TEST(DenseStages, GatedFeedForwardEqualsItsProductsAndActivation) {
    const Matrix gate(GGUFWriter::GQ8_0, 37, 256, 6), up(GGUFWriter::GQ6_K, 37, 256, 7);
    const std::vector<float> x = input(256);
    std::vector<float> g(37), u(37), act(37), want(37);
    vivirov::dense::cpu_gated_ffn(&gate.t, &up.t, x.data(), g.data(), u.data(), act.data(), 37);
    const std::vector<float> g0 = gate.alone(x), u0 = up.alone(x);
    vivirov::dense::swiglu(g0.data(), u0.data(), 37, want.data());
    EXPECT_TRUE(sameBits(g, g0));
    EXPECT_TRUE(sameBits(u, u0));
    EXPECT_TRUE(sameBits(act, want));
}

TEST(DenseStages, LargeProductsClaimedInLongRunsEqualEachProductAlone) {
    // Jobs of hundreds of kilobytes: rows go out in long runs, then a short
    // tail of the last product; runs and tail end off any multiple of four.
    const Matrix a(GGUFWriter::GQ8_0, 701, 896, 10), b(GGUFWriter::GQ8_0, 130, 896, 11),
        c(GGUFWriter::GQ6_K, 257, 512, 12), gate(GGUFWriter::GQ8_0, 1003, 896, 13), up(GGUFWriter::GQ8_0, 1003, 896, 14);
    const std::vector<float> x = input(896), x2 = input(512);
    std::vector<float> ya(701), yb(130), yc(257);
    vivirov::dense::cpu_products({{&a.t, x.data(), ya.data()}, {&b.t, x.data(), yb.data()}, {&c.t, x2.data(), yc.data()}});
    EXPECT_TRUE(sameBits(ya, a.alone(x)));
    EXPECT_TRUE(sameBits(yb, b.alone(x)));
    EXPECT_TRUE(sameBits(yc, c.alone(x2)));
    std::vector<float> g(1003), u(1003), act(1003), want(1003);
    vivirov::dense::cpu_gated_ffn(&gate.t, &up.t, x.data(), g.data(), u.data(), act.data(), 1003);
    const std::vector<float> g0 = gate.alone(x), u0 = up.alone(x);
    vivirov::dense::swiglu(g0.data(), u0.data(), 1003, want.data());
    EXPECT_TRUE(sameBits(g, g0));
    EXPECT_TRUE(sameBits(u, u0));
    EXPECT_TRUE(sameBits(act, want));
}

TEST(DenseStages, OnlyMatricesTheKernelsServeArePooled) {
    const Matrix q8(GGUFWriter::GQ8_0, 4, 64, 8), f16(GGUFWriter::GF16, 4, 64, 9);
    GGUFTensor ragged = q8.t;
    ragged.dims = {48, 4}; // not a whole number of 32-value blocks
    EXPECT_TRUE(vivirov::dense::cpu_multiplies(&q8.t));
    EXPECT_FALSE(vivirov::dense::cpu_multiplies(&f16.t));
    EXPECT_FALSE(vivirov::dense::cpu_multiplies(&ragged));
    EXPECT_FALSE(vivirov::dense::cpu_multiplies(nullptr));
}
