// The tiled Q8_0 kernel of the products of several rows gives every output
// the bits of the single-row kernel, whatever the number of activation rows,
// the row range (remainders of the three-row tiles) and whether the
// activations are read whole or a chunk at a time: batched products then
// match each row's own decode exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine/zov4/zov4_tiled_rows.h"
#include "tests/Kernels/KernelTestSupport.h"

using namespace vivirov::test;
using vm::zov4::WideRowsKernel;

namespace {

constexpr uint32_t kQ8_0 = 8;

TEST(TiledRows, EveryTileAndRangeGivesTheSingleRowBits) {
    const WideRowsKernel tiled = vm::zov4::tiled_rows_kernel(kQ8_0);
    const WideRowsKernel single = vm::zov4::wide_rows_kernel_avx2(kQ8_0);
    if (!tiled || !single) GTEST_SKIP() << "no AVX-512 on this CPU";
    EXPECT_EQ(vm::zov4::tiled_rows_kernel(0), nullptr);
    struct Case {
        int32_t N, K;
    } cases[] = {
        {29, 96},   // a few blocks
        {14, 2048}, // the model width: four rows' activations read whole
        {8, 4160},  // activations taken a chunk at a time, a partial last chunk
    };
    // Row ranges leaving every remainder of the three-row tiles, and a range
    // crossing a group of twelve rows.
    const int32_t ranges[][2] = {{0, 1}, {1, 3}, {2, 5}, {3, 7}, {0, 8}, {1, 14}, {0, 29}};
    const int32_t rowCounts[] = {1, 2, 3, 4, 5, 8, 9, 16};
    for (const Case& c : cases) {
        const TestMatrix w(kQ8_0, c.N, c.K, uint32_t(c.N * 7 + c.K));
        for (int32_t M : rowCounts)
            for (const auto& rg : ranges) {
                if (rg[1] > c.N) continue;
                const std::string what = "K " + std::to_string(c.K) + " M " + std::to_string(M) + " rows [" +
                                         std::to_string(rg[0]) + ", " + std::to_string(rg[1]) + ")";
                std::vector<float> X(size_t(M) * size_t(c.K));
                for (size_t i = 0; i < X.size(); ++i) X[i] = std::sin(0.37f * float(i) + 0.1f * float(M));
                const int64_t ldy = c.N + 3; // strided output; untouched entries keep their value
                std::vector<float> got(size_t(M) * size_t(ldy), 7.0f), want(got.size(), 7.0f);
                tiled(w.data(), rg[0], rg[1], c.K, X.data(), M, got.data(), ldy);
                for (int32_t m = 0; m < M; ++m)
                    single(w.data(), rg[0], rg[1], c.K, X.data() + size_t(m) * size_t(c.K), 1, want.data() + m * ldy,
                           ldy);
                EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << what;
            }
    }
}

} // namespace
