// Projection packs: the one-time expansion of quantised bases (layout,
// dropped overflow, one fill shared by concurrent first users) and the
// rebuilt weight vectors.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/vm_cabi_v2/vezev_proj_pack.h"
#include "tests/support/StderrCapture.h"

using vm::vezev::VezevProjPack;

namespace {

// K = 2 bases of d = 5 values from codewords of L = 2 floats, M = 3 codes
// per basis: the third codeword of each basis runs one float past d.
void fillQuantised(VezevProjPack& p) {
    p.K = 2;
    p.d = 5;
    p.L = 2;
    p.M = 3;
    p.quantised = true;
    p.codebook = {1, 2, 3, 4, 5, 6, 7, 8}; // codewords 0..3
    p.codes = {0, 1, 2,                    // basis 0: 1 2 | 3 4 | 5 (6 dropped)
               3, 3, 0};                   // basis 1: 7 8 | 7 8 | 1 (2 dropped)
    p.experts = 2;
    p.slices = 1;
    p.coefficients = {1.0f, 0.0f, 0.5f, -1.0f};
}

} // namespace

TEST(VezevProjPack, ExpandsCodesOnceIntoTheDenseLayoutDroppingOverflow) {
    VezevProjPack p;
    fillQuantised(p);
    vivirov::test::StderrCapture err;
    const float* b = p.dense_bases_ptr();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(p.dense_bases_ptr(), b);
    const std::vector<float> want = {1, 7, 2, 8, 3, 7, 4, 8, 5, 1}; // (l, k) at l·K + k
    EXPECT_EQ(std::vector<float>(b, b + 10), want);
    EXPECT_EQ(p.expanded_bytes(), 10 * sizeof(float));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u);
    const std::string log = err.text();
    EXPECT_NE(log.find("[vezev] VQ bases expanded ONCE (proj cache): K=2 d=5 → 0.00 MB (no re-expand per GEMV)"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("expanded ONCE", log.find("expanded ONCE") + 1), std::string::npos);

    std::vector<float> out(5);
    p.reconstruct_flat(1, 0, out.data()); // 0.5·basis0 − basis1
    EXPECT_EQ(out, (std::vector<float>{0.5f - 7, 1 - 8, 1.5f - 7, 2 - 8, 2.5f - 1}));
    for (auto [e, s] : {std::pair{2, 0}, {-1, 0}, {0, 1}}) {
        std::vector<float> z(5, 9.0f);
        p.reconstruct_flat(e, s, z.data());
        EXPECT_EQ(z, std::vector<float>(5, 0.0f)) << e << "," << s;
    }
}

TEST(VezevProjPack, DenseBasesAndAnEmptyShapeStillGiveOneFloat) {
    VezevProjPack dense;
    dense.K = 1;
    dense.d = 2;
    dense.bases = {3, 4};
    EXPECT_EQ(dense.dense_bases_ptr(), dense.bases.data());
    EXPECT_FALSE(dense.expanded());

    VezevProjPack empty;
    empty.quantised = true;
    empty.codes = {0};
    empty.codebook = {1};
    ASSERT_NE(empty.dense_bases_ptr(), nullptr);
    EXPECT_EQ(empty.expanded_bytes(), sizeof(float));
}

TEST(VezevProjPack, ConcurrentFirstUsersShareOneExpansion) {
    VezevProjPack p;
    fillQuantised(p);
    std::vector<const float*> seen(8);
    std::vector<std::vector<float>> rebuilt(8, std::vector<float>(5));
    {
        std::vector<std::thread> ts;
        for (int i = 0; i < 8; ++i)
            ts.emplace_back([&, i] {
                seen[size_t(i)] = p.dense_bases_ptr();
                p.reconstruct_flat(0, 0, rebuilt[size_t(i)].data());
            });
        for (auto& t : ts) t.join();
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(seen[size_t(i)], seen[0]);
        EXPECT_EQ(rebuilt[size_t(i)], (std::vector<float>{1, 2, 3, 4, 5}));
    }
}
