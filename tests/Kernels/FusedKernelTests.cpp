// The fused matrix kernels on random matrices of every type: agreement with a
// double-precision product of the decoded weights on every route, the
// argument checks, the batch grouping, offsets and strides, and equal bits
// across the vector and portable builds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "engine/vm_cabi_v2/fused_q_kernels.h"
#include "engine/vm_cabi_v2/gemm_route.h"
#include "engine/vm_cabi_v2/ggml_blocks.h"
#include "tests/Kernels/KernelTestSupport.h"

using namespace vivirov::test;
using namespace vm::apex;

namespace {

const uint32_t kTypes[] = {0, 1, 6, 8, 12, 13, 14};

} // namespace

TEST(FusedKernels, EveryKernelAgreesWithTheDoubleReference) {
    for (uint32_t type : kTypes) {
        SCOPED_TRACE("type " + std::to_string(type));
        const TestMatrix m(type, 600, 512, 40 + type);
        const auto X = randomFloats(16 * 512, 7);
        std::vector<float> y(600), y2(600, -1.0f), y3(600, -1.0f);
        ASSERT_TRUE(fused_q_gemv(type, m.data(), 600, 512, X.data(), y.data()));
        EXPECT_LT(worstRelativeError(m, X.data(), 1, y.data(), 600, 0), kProductTolerance);
        ASSERT_TRUE(fused_q_gemv_det(type, m.data(), 600, 512, X.data(), y2.data(), 0));
        ASSERT_TRUE(fused_q_gemv_mt(type, m.data(), 600, 512, X.data(), y3.data(), 0));
        EXPECT_TRUE(bitsEqual(y2, y));
        EXPECT_TRUE(bitsEqual(y3, y));

        for (int32_t M : {2, 5, 16}) {
            std::vector<float> Y(size_t(M) * 600, -1.0f);
            ASSERT_TRUE(fused_q_gemm_det(type, m.data(), 600, 512, X.data(), M, Y.data(), 32, -1, 0));
            EXPECT_LT(worstRelativeError(m, X.data(), M, Y.data(), 600, 0), kProductTolerance)
                << gemm_route_name(gemm_route(type, 600, 512, M)) << " M " << M;
        }

        // The row kernels.
        const TestMatrix one(type, 1, 512, 90 + type);
        std::vector<float> out(4, -1.0f);
        for (int32_t M : {1, 4}) {
            row_block_x_batch(type, one.data(), 512, X.data(), M, out.data());
            EXPECT_LT(worstRelativeError(one, X.data(), M, out.data(), 1, 0), kProductTolerance) << M;
        }
        const float dot = row_block_dot(type, one.data(), 512, X.data());
        EXPECT_LT(worstRelativeError(one, X.data(), 1, &dot, 1, 0), kProductTolerance);
    }

    std::vector<float> out(3, -1.0f);
    const auto X = randomFloats(3 * 64, 1);
    const std::string q8 = randomBlocks(8, 64, 2);
    row_q8_0_x_batch(reinterpret_cast<const uint8_t*>(q8.data()), 64, X.data(), 3, out.data());
    const TestMatrix m8(8, 1, 64, 2);
    EXPECT_LT(worstRelativeError(m8, X.data(), 3, out.data(), 1, 0), kProductTolerance);
}

TEST(FusedKernels, TiledRoutesAccumulateSeveralColumnTiles) {
    // Q8_0 tiles are 2048 columns wide and K-quant tiles 1024 at these sizes.
    const struct {
        uint32_t type;
        int32_t K;
    } cases[] = {{8, 2560}, {14, 1280}, {12, 2304}};
    for (const auto& c : cases) {
        const TestMatrix m(c.type, 96, c.K, 3);
        const auto X = randomFloats(size_t(6) * size_t(c.K), 4);
        std::vector<float> Y(6 * 96, -1.0f);
        ASSERT_TRUE(fused_q_gemm_det(c.type, m.data(), 96, c.K, X.data(), 6, Y.data(), 0, -1, 0));
        EXPECT_LT(worstRelativeError(m, X.data(), 6, Y.data(), 96, 0), kProductTolerance) << c.type;
    }
}

TEST(FusedKernels, BadArgumentsAreRefusedWithoutWriting) {
    const TestMatrix q8(8, 8, 64, 1), q4(12, 2, 512, 1);
    const auto X = randomFloats(4 * 512, 2);
    struct Case {
        const char* what;
        uint32_t type;
        const uint8_t* W;
        int32_t N, K, M;
        const float* X;
        bool nullY;
        int32_t ldy, yOff;
    };
    const Case cases[] = {
        {"N 0", 8, q8.data(), 0, 64, 2, X.data(), false, -1, 0},
        {"K 0", 8, q8.data(), 8, 0, 2, X.data(), false, -1, 0},
        {"negative N", 8, q8.data(), -4, 64, 2, X.data(), false, -1, 0},
        {"null W", 8, nullptr, 8, 64, 2, X.data(), false, -1, 0},
        {"null x", 8, q8.data(), 8, 64, 2, nullptr, false, -1, 0},
        {"null y", 8, q8.data(), 8, 64, 2, X.data(), true, -1, 0},
        {"unsupported type", 2, q8.data(), 8, 64, 2, X.data(), false, -1, 0},
        {"Q8_0 K 48", 8, q8.data(), 8, 48, 2, X.data(), false, -1, 0},
        {"Q4_K K 288", 12, q4.data(), 2, 288, 2, X.data(), false, -1, 0},
        {"Q5_0 K 40", 6, q8.data(), 2, 40, 2, X.data(), false, -1, 0},
    };
    for (const auto& c : cases) {
        std::vector<float> y(4096, 3.0f);
        float* Y = c.nullY ? nullptr : y.data();
        EXPECT_FALSE(fused_q_gemv(c.type, c.W, c.N, c.K, c.X, Y)) << c.what;
        EXPECT_FALSE(fused_q_gemv_det(c.type, c.W, c.N, c.K, c.X, Y, 0)) << c.what;
        EXPECT_FALSE(fused_q_gemv_mt(c.type, c.W, c.N, c.K, c.X, Y, 0)) << c.what;
        EXPECT_FALSE(fused_q_gemm_det(c.type, c.W, c.N, c.K, c.X, c.M, Y, 0, c.ldy, c.yOff)) << c.what;
        EXPECT_EQ(y, std::vector<float>(4096, 3.0f)) << c.what;
    }
    // Batch-only checks.
    const struct {
        const char* what;
        int32_t M, ldy, yOff;
    } batch[] = {{"M 0", 0, -1, 0}, {"negative y_off", 2, -1, -1}, {"ldy short of y_off", 2, 8 + 2, 3},
                 {"ldy short of N", 2, 7, 0}};
    for (const auto& c : batch) {
        std::vector<float> y(64, 3.0f);
        EXPECT_FALSE(fused_q_gemm_det(8, q8.data(), 8, 64, X.data(), c.M, y.data(), 0, c.ldy, c.yOff)) << c.what;
        EXPECT_EQ(y, std::vector<float>(64, 3.0f)) << c.what;
    }
}

TEST(FusedKernels, PooledGemvEqualsSingleThreadedAtTheThreshold) {
    for (uint32_t type : {8u, 12u, 0u}) {
        for (int32_t N : {511, 512, 1500}) {
            const TestMatrix m(type, N, 256, 9);
            const auto x = randomFloats(256, 3);
            std::vector<float> a(static_cast<size_t>(N)), b(static_cast<size_t>(N));
            ASSERT_TRUE(fused_q_gemv(type, m.data(), N, 256, x.data(), a.data()));
            for (int32_t chunk : {0, 16, 100}) {
                ASSERT_TRUE(fused_q_gemv_det(type, m.data(), N, 256, x.data(), b.data(), chunk));
                EXPECT_TRUE(bitsEqual(a, b)) << type << ' ' << N << ' ' << chunk;
            }
        }
    }
    // Large enough for the parallel loop: Q4_K from 1024 rows, others from 8192.
    for (const auto& [type, N] : {std::pair<uint32_t, int32_t>{12, 1100}, {8, 8200}}) {
        const TestMatrix m(type, N, 256, 10);
        const auto x = randomFloats(256, 5);
        std::vector<float> a(static_cast<size_t>(N)), b(static_cast<size_t>(N));
        ASSERT_TRUE(fused_q_gemv(type, m.data(), N, 256, x.data(), a.data()));
        ASSERT_TRUE(fused_q_gemv_mt(type, m.data(), N, 256, x.data(), b.data(), 0));
        EXPECT_TRUE(bitsEqual(a, b)) << type;
    }
}

TEST(FusedKernels, BatchGroupsOffsetsAndStrides) {
    // Q5_0 stays on the fused row route, whose bits do not depend on grouping.
    const int32_t N = 70, K = 64;
    const TestMatrix m(6, N, K, 12);
    const auto X = randomFloats(40 * K, 13);

    std::vector<float> dense(40 * N, -1.0f);
    ASSERT_TRUE(fused_q_gemm_det(6, m.data(), N, K, X.data(), 40, dense.data(), 0, -1, 0));
    EXPECT_LT(worstRelativeError(m, X.data(), 40, dense.data(), N, 0), kProductTolerance);
    // Three passes of 16, 16 and 8 rows, each as if called alone.
    for (const auto& [first, rows] : {std::pair<int, int>{0, 16}, {16, 16}, {32, 8}}) {
        std::vector<float> part(size_t(rows) * N);
        ASSERT_TRUE(fused_q_gemm_det(6, m.data(), N, K, X.data() + first * K, rows, part.data(), 0, -1, 0));
        EXPECT_EQ(std::memcmp(part.data(), dense.data() + first * N, part.size() * 4), 0) << first;
    }

    // A 17th row forms a group of one, computed like a lone row.
    std::vector<float> y17(17 * N), lone(N);
    ASSERT_TRUE(fused_q_gemm_det(6, m.data(), N, K, X.data(), 17, y17.data(), 0, -1, 0));
    ASSERT_TRUE(fused_q_gemv_det(6, m.data(), N, K, X.data() + 16 * K, lone.data(), 0));
    EXPECT_EQ(std::memcmp(y17.data() + 16 * N, lone.data(), N * 4), 0);

    // y_off 3 with ldy N + 3 writes columns 3 … N + 2 and leaves 0-2, on the
    // fused route and on a BLAS route (Q8_0 tiles).
    const TestMatrix q8(8, 96, 64, 14);
    for (const TestMatrix* w : {&m, &q8}) {
        for (int32_t M : {1, 3}) {
            const int32_t ld = w->N + 3;
            std::vector<float> Y(size_t(M) * size_t(ld), 42.0f);
            ASSERT_TRUE(fused_q_gemm_det(w->type, w->data(), w->N, K, X.data(), M, Y.data(), 0, ld, 3));
            for (int32_t b = 0; b < M; ++b)
                for (int32_t c = 0; c < 3; ++c) EXPECT_EQ(Y[size_t(b * ld + c)], 42.0f) << b << ' ' << c;
            EXPECT_LT(worstRelativeError(*w, X.data(), M, Y.data(), ld, 3), kProductTolerance) << w->type << ' ' << M;
            if (M == 1) {
                std::vector<float> plain(size_t(w->N));
                ASSERT_TRUE(fused_q_gemv_det(w->type, w->data(), w->N, K, X.data(), plain.data(), 0));
                EXPECT_EQ(std::memcmp(Y.data() + 3, plain.data(), plain.size() * 4), 0);
            }
        }
    }
}

TEST(FusedKernels, VectorAndPortableBuildsGiveTheSameBits) {
    const auto builds = kernelBuilds();
    if (builds.size() < 2) GTEST_SKIP() << "this CPU has no vector build";
    const auto X = randomFloats(16 * 1312, 21);
    for (uint32_t type : kTypes) {
        // Five K-quant blocks (41 Q8_0 blocks) per row: the four-block vector
        // path and a tail; three more columns for the wide types exercise the
        // remainder of a row. An odd row count leaves one row out of the
        // vector build's row pairs.
        const int32_t K = type <= 1 ? 1283 : type == 8 ? 1312 : 1280;
        const int32_t N = 601;
        const TestMatrix m(type, N, K, 50 + type);
        std::vector<std::vector<std::vector<float>>> results(builds.size());
        for (size_t i = 0; i < builds.size(); ++i) {
            ScopedKernels use(builds[i]);
            auto& r = results[i];
            std::vector<float> y(N);
            fused_q_gemv(type, m.data(), N, K, X.data(), y.data());
            r.push_back(y);
            // 29 rows: groups of sixteen, eight and four rows, and a single row.
            std::vector<float> y29(29);
            fused_q_gemv(type, m.data(), 29, K, X.data(), y29.data());
            r.push_back(y29);
            fused_q_gemv_det(type, m.data(), N, K, X.data(), y.data(), 0);
            r.push_back(y);
            for (int32_t M : {3, 16}) {
                std::vector<float> Y(size_t(M) * size_t(N));
                fused_q_gemm_det(type, m.data(), N, K, X.data(), M, Y.data(), 0, -1, 0);
                r.push_back(Y);
            }
            std::vector<float> out(16);
            for (int32_t M : {1, 2, 5, 13, 16}) {
                row_block_x_batch(type, m.data(), K, X.data(), M, out.data());
                r.push_back(out);
            }
            r.push_back({row_block_dot(type, m.data(), K, X.data())});
            std::vector<float> decoded(size_t(K) * size_t(N));
            vm::dequant_tensor(type, m.data(), decoded.data(), decoded.size());
            r.push_back(decoded);
        }
        for (size_t i = 1; i < builds.size(); ++i)
            for (size_t k = 0; k < results[0].size(); ++k)
                EXPECT_TRUE(bitsEqual(results[0][k], results[i][k]))
                    << builds[i].name << " type " << type << " result " << k;
    }
}

TEST(FusedKernels, RowsAgainstPackedPairsGiveTheRowBatchBits) {
    // The fused row route packs the activation rows in pairs; every row's
    // results must be those of the one-row batch kernel, in both builds, for
    // even and odd batches (an odd one pads its last pair with zeros). 20
    // rows: groups of eight taken three, three and two at a time, then a
    // group of four taken three and one.
    const int32_t N = 20;
    for (uint32_t type : {6u, 8u, 12u, 13u, 14u}) {
        const int32_t K = (type == 6 || type == 8) ? 1312 : 1280;
        const TestMatrix m(type, N, K, 70 + type);
        const uint64_t rb = vm::ggml_row_bytes(type, uint64_t(K));
        const auto X = randomFloats(16 * size_t(K), 71);
        for (int32_t M : {2, 3, 8, 12, 15, 16}) {
            const int32_t pairs = (M + 1) / 2;
            std::vector<float> Xp(size_t(pairs) * 2 * size_t(K), 0.0f);
            for (int32_t b = 0; b < M; ++b)
                for (int32_t j = 0; j < K; ++j)
                    Xp[size_t(8 * ((j / 4) * pairs + b / 2) + 4 * (b & 1) + (j & 3))] = X[size_t(b) * size_t(K) + size_t(j)];
            for (const auto& ops : kernelBuilds()) {
                std::vector<float> out(size_t(N) * size_t(2 * pairs), -1.0f), want(static_cast<size_t>(M));
                ops.rows_batch_pairs(type, m.data(), rb, N, Xp.data(), K, pairs, out.data());
                for (int32_t r = 0; r < N; ++r) {
                    ops.block_row_batch(type, m.data() + size_t(r) * rb, K, X.data(), M, want.data());
                    ASSERT_EQ(std::memcmp(want.data(), out.data() + size_t(r) * size_t(2 * pairs), size_t(M) * 4), 0)
                        << ops.name << " type " << type << " M " << M << " row " << r;
                }
            }
        }
    }
}

TEST(FusedKernels, LowRankProductsGiveTheSameBitsInBothBuilds) {
    const auto builds = kernelBuilds();
    if (builds.size() < 2) GTEST_SKIP() << "this CPU has no vector build";
    // 21 rows: one group of sixteen in the vector build and a tail; ranks 64
    // (whole vector blocks), 72 (a tail of lanes) and 40 (no vector block).
    const auto U = randomFloats(21 * 64, 31), t = randomFloats(64, 32);
    const auto V = randomFloats(9 * 72, 33), S = randomFloats(72, 34), x = randomFloats(9, 35);
    std::vector<std::vector<std::vector<float>>> results(builds.size());
    for (size_t i = 0; i < builds.size(); ++i) {
        std::vector<float> y(21);
        builds[i].u_rows64(U.data(), t.data(), 21, y.data());
        results[i].push_back(y);
        for (int32_t rank : {64, 72, 40}) {
            std::vector<float> out(size_t(rank), -1.0f);
            builds[i].project_v(V.data(), S.data(), 9, rank, x.data(), out.data());
            results[i].push_back(out);
        }
    }
    for (size_t i = 1; i < builds.size(); ++i)
        for (size_t k = 0; k < results[0].size(); ++k)
            EXPECT_TRUE(bitsEqual(results[0][k], results[i][k])) << builds[i].name << " " << k;
    // And the portable build is the four-lane chain it promises.
    for (int r = 0; r < 21; ++r) {
        float l[4] = {0, 0, 0, 0};
        for (int k = 0; k < 64; ++k) l[k % 4] = std::fma(U[size_t(r * 64 + k)], t[size_t(k)], l[k % 4]);
        EXPECT_EQ(results[0][0][size_t(r)], (l[0] + l[1]) + (l[2] + l[3])) << r;
    }
}

TEST(FusedKernels, ConcurrentCallersTakeTurnsOnThePoolAndScratch) {
    // Two engines multiplying at once: tiled (scratch) and fused (pool) routes.
    const TestMatrix q4(12, 300, 512, 31), q5(6, 600, 64, 32);
    const auto X = randomFloats(8 * 512, 33);
    std::vector<float> want4(8 * 300), want5(8 * 600);
    ASSERT_TRUE(fused_q_gemm_det(12, q4.data(), 300, 512, X.data(), 8, want4.data(), 0, -1, 0));
    ASSERT_TRUE(fused_q_gemm_det(6, q5.data(), 600, 64, X.data(), 8, want5.data(), 0, -1, 0));
    auto run = [&](const TestMatrix& m, const std::vector<float>& want, bool* same) {
        std::vector<float> Y(want.size());
        *same = true;
        for (int i = 0; i < 20; ++i) {
            fused_q_gemm_det(m.type, m.data(), m.N, m.K, X.data(), 8, Y.data(), 0, -1, 0);
            *same = *same && bitsEqual(Y, want);
        }
    };
    bool a = false, b = false;
    std::thread t1(run, std::cref(q4), std::cref(want4), &a), t2(run, std::cref(q5), std::cref(want5), &b);
    t1.join();
    t2.join();
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);
}
