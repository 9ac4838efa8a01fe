// The AVX-512 build's Q8_0 rows give bit for bit what the portable kernels
// give, over ragged row counts (passes of four plus a remainder), block counts
// off the four-block group, and scales from subnormal to large.
#include "engine/vm_cabi_v2/kernel_ops.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/RandomBlocks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Random Q8_0 rows whose scales also take extreme half values.
std::string rows(int32_t n, int32_t k, uint32_t seed) {
    std::string w = vivirov::test::randomBlocks(vivirov::test::GGUFWriter::GQ8_0, uint64_t(n) * uint64_t(k), seed);
    const uint16_t extremes[] = {0x0001, 0x03FF, 0x8001, 0x7BFF, 0xFBFF, 0x3C00, 0x0000};
    for (size_t b = 0, i = 0; b < w.size(); b += 34 * 5, ++i) std::memcpy(&w[b], &extremes[i % 7], 2);
    return w;
}

} // namespace

TEST(Q8RowsWide, RowsEqualThePortableKernelsBitForBit) {
    const vm::KernelOps* wide = vm::avx512_kernel_ops();
    if (!wide) GTEST_SKIP() << "no AVX-512 kernel build on this CPU";
    struct Shape {
        int32_t rows, k;
    };
    const Shape shapes[] = {{1, 32}, {3, 96}, {4, 128}, {5, 32 * 7}, {8, 896}, {13, 32 * 9}, {19, 4864}};
    std::mt19937 rng(11);
    for (const Shape& s : shapes) {
        SCOPED_TRACE(testing::Message() << s.rows << " rows of " << s.k);
        const std::string w = rows(s.rows, s.k, uint32_t(s.rows * 131 + s.k));
        std::vector<float> x(size_t(s.k));
        for (float& v : x) v = std::ldexp(float(int(rng() % 2001) - 1000), int(rng() % 24) - 20);
        std::vector<float> want(size_t(s.rows)), got(size_t(s.rows), -1.0f);
        const auto* W = reinterpret_cast<const uint8_t*>(w.data());
        const uint64_t row_bytes = uint64_t(s.k / 32 * 34);
        vm::portable_kernel_ops().rows_dot(8, W, row_bytes, s.rows, x.data(), s.k, want.data());
        wide->rows_dot(8, W, row_bytes, s.rows, x.data(), s.k, got.data());
        EXPECT_EQ(0, std::memcmp(want.data(), got.data(), want.size() * sizeof(float)));
    }
}
