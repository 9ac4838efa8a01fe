// The eight-lane row kernels give every output the bits of the single-row
// product whatever the number of activation rows, the row range and the
// build (AVX2, AVX-512): a batched decode step then computes each sequence's
// products exactly as its own decode would. Shapes cross the kernels' tiles
// of activation rows, groups of weight rows and chunks of blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine/zov4/zov4_wide_rows.h"
#include "tests/Kernels/KernelTestSupport.h"

using namespace vivirov::test;
using vm::zov4::WideRowsKernel;

namespace {

constexpr uint32_t kF32 = 0, kQ8_0 = 8;

TEST(WideRows, EveryRowCountAndBuildGivesTheSingleRowBits) {
    const WideRowsKernel one_q8 = vm::zov4::wide_rows_kernel_avx2(kQ8_0);
    const WideRowsKernel one_f32 = vm::zov4::wide_rows_kernel_avx2(kF32);
    if (!one_q8 || !one_f32) GTEST_SKIP() << "no AVX2 row kernels on this CPU";
    struct Build {
        const char* name;
        WideRowsKernel q8, f32;
    } builds[] = {{"avx2", one_q8, one_f32},
                  {"avx512", vm::zov4::wide_rows_kernel_avx512(kQ8_0), vm::zov4::wide_rows_kernel_avx512(kF32)}};
    struct Case {
        uint32_t type;
        int32_t N, K;
    } cases[] = {
        {kQ8_0, 19, 96},   // fewer blocks than a chunk
        {kQ8_0, 9, 544},   // a chunk and one block
        {kQ8_0, 17, 2048}, // the model width
        {kF32, 11, 100},   // a tail past the 32-weight steps
        {kF32, 10, 1100},  // two chunks, some of a third and a tail
        {kF32, 5, 64},
    };
    const int32_t rowCounts[] = {1, 2, 3, 4, 7, 8, 9, 16, 17};
    int ran = 0;
    for (const Build& b : builds) {
        if (!b.q8 || !b.f32) continue;
        ++ran;
        for (const Case& c : cases) {
            const TestMatrix w(c.type, c.N, c.K, uint32_t(c.N + c.K));
            const WideRowsKernel batch = c.type == kQ8_0 ? b.q8 : b.f32;
            const WideRowsKernel single = c.type == kQ8_0 ? one_q8 : one_f32;
            for (int32_t M : rowCounts) {
                const std::string what = std::string(b.name) + " type " + std::to_string(c.type) + " K " +
                                         std::to_string(c.K) + " M " + std::to_string(M);
                std::vector<float> X(size_t(M) * size_t(c.K));
                for (size_t i = 0; i < X.size(); ++i) X[i] = std::sin(0.37f * float(i) + 0.1f * float(M));
                // Rows [2, N) into a strided output, against each activation row alone.
                const int64_t ldy = c.N + 3;
                std::vector<float> got(size_t(M) * size_t(ldy), 7.0f), want(got.size(), 7.0f);
                batch(w.data(), 2, c.N, c.K, X.data(), M, got.data(), ldy);
                for (int32_t m = 0; m < M; ++m)
                    single(w.data(), 2, c.N, c.K, X.data() + size_t(m) * size_t(c.K), 1, want.data() + m * ldy, ldy);
                EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << what;
            }
        }
    }
    if (ran < 2) GTEST_SKIP() << "no AVX-512 on this CPU: only the AVX2 build was checked";
}

} // namespace
