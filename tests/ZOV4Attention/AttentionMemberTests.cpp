// The attention members of the forward object on the tiny DeepSeek-V4
// model: the grouped output projection on every route, the compressor's
// prefill and decode routes, and the assembly of keys and masks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "engine/include/vm_gpu.h"
#include "engine/zov4/zov4_attention.h"
#include "tests/ZOV4Attention/AttentionModel.h"
#include "tests/support/ChildTest.h"
#include "tests/support/CountingGpuOps.h"

using namespace vivirov::test;
using vm::zov4::LayerCache;
using vm::zov4::ZOV4Forward;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- grouped output projection ----------------------------------------------

std::vector<double> groupedReference(const ZOV4Forward& f, int il, const float* in) {
    const auto wa = decoded(*f.wl(il, "attn_output_a.weight"));
    const auto wb = decoded(*f.wl(il, "attn_output_b.weight"));
    const int G = f.o_groups, Ro = f.o_rank, Eg = f.n_head / G * f.v_dim, E = f.n_embd;
    std::vector<double> mid(size_t(G) * Ro), out(static_cast<size_t>(E));
    for (int g = 0; g < G; ++g)
        for (int r = 0; r < Ro; ++r)
            for (int c = 0; c < Eg; ++c) mid[size_t(g * Ro + r)] += double(wa[size_t((g * Ro + r) * Eg + c)]) * in[g * Eg + c];
    for (int e = 0; e < E; ++e)
        for (int k = 0; k < G * Ro; ++k) out[size_t(e)] += double(wb[size_t(e * G * Ro + k)]) * mid[size_t(k)];
    return out;
}

TEST(GroupedOutput, OneTokenMatchesReferenceWithoutTouchingTheGpu) {
    auto f = cpuModel();
    f->use_gpu = true; // the one-token route must not use it anyway
    f->gpu = countingGpuOps();
    resetCountingGpu();
    const int il = 2, E = f->n_embd;
    const auto in = randomValues(size_t(f->n_head) * f->v_dim, 1);
    std::vector<float> out(static_cast<size_t>(E));
    const uint64_t before = f->mm_count;
    f->grouped_out_gpu(il, in.data(), out.data(), 1);
    const CountingGpu& gpu = countingGpu();
    EXPECT_EQ(gpu.begins + gpu.commits + gpu.arenaResets + gpu.products, 0);
    EXPECT_EQ(f->mm_count - before, uint64_t(f->o_groups + 1));
    const auto want = groupedReference(*f, il, in.data());
    for (int e = 0; e < E; ++e) ASSERT_NEAR(out[size_t(e)], want[size_t(e)], 1e-3 * (1 + std::fabs(want[size_t(e)]))) << e;
}

// Several tokens: two batches of G and 1 products when the GPU answers; the
// CPU route's values whatever the GPU does wrong.
TEST(GroupedOutput, SeveralTokensAgreeOnEveryRoute) {
    auto f = cpuModel();
    const int il = 3, n = 3, E = f->n_embd, width = f->n_head * f->v_dim;
    const auto in = randomValues(size_t(n) * width, 2);
    std::vector<float> cpu(size_t(n) * E);
    f->grouped_out_gpu(il, in.data(), cpu.data(), n);

    struct Case {
        const char* name;
        bool failProducts, failCommit, foreignBatch;
        int products;
    } cases[] = {{"gpu", false, false, false, f->o_groups + 1},
                 {"products fail", true, false, false, -1},
                 {"commit fails", false, true, false, -1},
                 {"someone else's batch is open", false, false, true, 0}};
    for (const Case& c : cases) {
        f->use_gpu = true;
        f->gpu = countingGpuOps();
        resetCountingGpu();
        countingGpu().failProducts = c.failProducts;
        countingGpu().failCommit = c.failCommit;
        countingGpu().foreignBatchOpen = c.foreignBatch;
        std::vector<float> out(size_t(n) * E, 123.0f);
        f->grouped_out_gpu(il, in.data(), out.data(), n);
        if (c.products >= 0) {
            EXPECT_EQ(countingGpu().products, c.products) << c.name;
        }
        if (c.name == std::string("gpu")) {
            EXPECT_EQ(countingGpu().begins, 2);
        }
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_NEAR(out[i], cpu[i], 1e-3 * (1 + std::fabs(cpu[i]))) << c.name << " " << i;
    }
}

// The real bridge on the software Vulkan device, in a child process (the
// bridge is set up once per process).
TEST(GroupedOutput, SoftwareGpuAgreesWithOneTokenRoute) {
    if (!isChildTest("GroupedOutput.SoftwareGpuAgreesWithOneTokenRoute")) {
        const auto r = runChildTest("GroupedOutput.SoftwareGpuAgreesWithOneTokenRoute",
                                    {{"VIVIROV_GPU_ALLOW_CPU", "1"}, {"LP_NUM_THREADS", "0"}});
        EXPECT_TRUE(r.succeeded()) << r.stdoutData << r.stderrData;
        return;
    }
    if (vm_gpu_bridge_init() != 1) GTEST_SKIP() << "no Vulkan device";
    auto f = cpuModel();
    f->gpu = vm::zov4::GpuOps::bridge();
    f->use_gpu = true;
    const int il = 2, n = 4, E = f->n_embd, width = f->n_head * f->v_dim;
    const auto in = randomValues(size_t(n) * width, 3);
    std::vector<float> batched(size_t(n) * E), single(size_t(n) * E);
    f->grouped_out_gpu(il, in.data(), batched.data(), n);
    for (int t = 0; t < n; ++t) f->grouped_out_gpu(il, in.data() + t * width, single.data() + t * E, 1);
    for (size_t i = 0; i < single.size(); ++i)
        ASSERT_NEAR(batched[i], single[i], 2e-3 * (1 + std::fabs(single[i]))) << i;
}

// ---- compressor ---------------------------------------------------------

std::vector<float> prefillRows(ZOV4Forward& f, int il, const std::string& prefix, int64_t C, int r,
                               const std::vector<float>& x, int64_t n) {
    std::vector<int> pos;
    for (int64_t b = 0; b < n / r; ++b) pos.push_back(int(b * r));
    std::vector<float> rows(size_t(n / r * C), -5.0f);
    f.compressor(il, prefix, x.data(), pos.data(), C, r, n, rows.data());
    return rows;
}

void expectRowsNear(const float* got, const float* want, size_t n, double tol, const std::string& what) {
    for (size_t i = 0; i < n; ++i)
        ASSERT_NEAR(got[i], want[i], tol * (1 + std::fabs(want[i]))) << what << " at " << i;
}

// Prefill rows, FP8-rounded, equal the decode route's rows, for both ratios
// and both prefixes.
TEST(Compressor, DecodeRowsEqualRoundedPrefillRows) {
    auto f = cpuModel();
    struct Case {
        int il;
        const char* prefix;
        int64_t C;
        int r, n;
    } cases[] = {{2, "attn_compressor", 128, 4, 23}, {2, "indexer_compressor", 128, 4, 23},
                 {3, "attn_compressor", 128, 128, 260}};
    for (const Case& c : cases) {
        const auto x = randomValues(size_t(c.n) * f->n_embd, 4);
        std::vector<float> want = prefillRows(*f, c.il, c.prefix, c.C, c.r, x, c.n);
        vm::zov4::fp8_kv_quantize(want.data(), c.C, f->n_rot, c.n / c.r);
        std::vector<float> rows;
        int64_t covered = 0, done = 0;
        f->compressor_inc_(c.il, c.prefix, x.data(), c.C, c.r, c.n, covered, rows, done);
        EXPECT_EQ(done, c.n / c.r);
        EXPECT_EQ(covered, done * c.r);
        expectRowsNear(rows.data(), want.data(), want.size(), 2e-2, c.prefix);
    }
}

// With two rows held and 12 positions, decode appends block 2 only, from
// positions 4 … 11: changing positions 0 … 3 does not change it.
TEST(Compressor, DecodeAppendsOnlyTheNewBlock) {
    auto f = cpuModel();
    const int64_t E = f->n_embd, C = f->head_dim;
    auto x = randomValues(size_t(12) * E, 5);
    std::vector<float> rows;
    int64_t covered = 0, done = 0;
    f->compressor_inc_(2, "attn_compressor", x.data(), C, 4, 8, covered, rows, done);
    ASSERT_EQ(done, 2);
    const std::vector<float> firstTwo(rows.begin(), rows.begin() + 2 * C);
    for (int64_t i = 0; i < 4 * E; ++i) x[size_t(i)] = 7.0f;
    const uint64_t before = f->mm_count;
    f->compressor_inc_(2, "attn_compressor", x.data(), C, 4, 12, covered, rows, done);
    EXPECT_EQ(done, 3);
    EXPECT_EQ(covered, 12);
    EXPECT_EQ(f->mm_count - before, 16u); // 8 positions, two projections
    EXPECT_TRUE(std::equal(firstTwo.begin(), firstTwo.end(), rows.begin()));

    std::vector<float> fresh;
    int64_t c2 = 0, d2 = 0;
    const auto clean = randomValues(size_t(12) * E, 5);
    f->compressor_inc_(2, "attn_compressor", clean.data(), C, 4, 12, c2, fresh, d2);
    EXPECT_TRUE(std::equal(rows.begin() + 2 * C, rows.begin() + 3 * C, fresh.begin() + 2 * C));
    // Nothing is recomputed once the history is covered.
    const uint64_t after = f->mm_count;
    f->compressor_inc_(2, "attn_compressor", x.data(), C, 4, 12, covered, rows, done);
    EXPECT_EQ(f->mm_count, after);
}

// ---- keys and masks -----------------------------------------------------

struct Prefill {
    std::vector<float> x, qlat, kv, keys, mask;
    std::vector<int> pos;
    int64_t n = 0, nKeys = 0;
};

Prefill prefill(ZOV4Forward& f, int il, int64_t n, uint32_t seed) {
    Prefill p;
    p.n = n;
    p.x = randomValues(size_t(n) * f.n_embd, seed);
    p.qlat = randomValues(size_t(n) * f.q_rank, seed + 1);
    p.kv = randomValues(size_t(n) * f.head_dim, seed + 2);
    vm::zov4::fp8_kv_quantize(p.kv.data(), f.head_dim, f.n_rot, n);
    p.pos.resize(size_t(n));
    std::iota(p.pos.begin(), p.pos.end(), 0);
    f.build_kv_and_mask(il, f.compress_ratio[size_t(il)], p.x.data(), p.qlat.data(), p.kv.data(), p.pos.data(), n,
                        p.keys, p.mask, p.nKeys);
    return p;
}

TEST(KeysAndMask, RawRuleIsCausalWithOptionalWindow) {
    auto f = cpuModel();
    {
        const Prefill p = prefill(*f, 0, 9, 10);
        ASSERT_EQ(p.nKeys, 9);
        for (int i = 0; i < 9; ++i)
            for (int j = 0; j < 9; ++j) EXPECT_EQ(p.mask[size_t(i * 9 + j)], j <= i ? 0.0f : -kInf) << i << "," << j;
    }
    f->sliding_window = 128;
    const Prefill p = prefill(*f, 0, 301, 11);
    const float* row = p.mask.data() + 300 * p.nKeys;
    for (int j = 0; j < 301; ++j) EXPECT_EQ(row[j], j >= 173 ? 0.0f : -kInf) << j;
}

// r = 4 with every block kept (top_k ≥ blocks): a complete block is open, a
// selected incomplete one is −1e9, never −infinity; and the keys are the raw
// rows followed by the FP8-rounded compressed rows.
TEST(KeysAndMask, CompletenessWithEveryBlockKept) {
    auto f = cpuModel();
    const Prefill p = prefill(*f, 2, 12, 20);
    ASSERT_EQ(p.nKeys, 15);
    struct Case {
        int query;
        std::vector<float> blocks;
    } cases[] = {{2, {-1e9f, -1e9f, -1e9f}}, {6, {0, -1e9f, -1e9f}}, {7, {0, 0, -1e9f}}, {11, {0, 0, 0}}};
    for (const Case& c : cases)
        for (int b = 0; b < 3; ++b) EXPECT_EQ(p.mask[size_t(c.query * 15 + 12 + b)], c.blocks[size_t(b)]) << c.query;
    const std::vector<float> rows = [&] {
        auto r = prefillRows(*f, 2, "attn_compressor", f->head_dim, 4, p.x, 12);
        vm::zov4::fp8_kv_quantize(r.data(), f->head_dim, f->n_rot, 3);
        return r;
    }();
    EXPECT_TRUE(std::equal(rows.begin(), rows.end(), p.keys.begin() + 12 * f->head_dim));
    // The indexer's keys of the prompt are stored, unrounded.
    EXPECT_EQ(f->caches[2].n_idx, 3);
    EXPECT_EQ(f->caches[2].idx_tokens, 12);
}

// Equal indexer scores compete by block index: with top_k 1 the lowest
// complete block wins; a query with no complete block selects block 0 as
// incomplete.
TEST(KeysAndMask, PrefillTiesGoToTheLowerBlock) {
    auto f = cpuModel();
    f->ix_top_k = 1;
    f->ensure_indexer_cache_(2);
    auto& ic = f->indexer_caches[2];
    std::fill(ic.wq_b.begin(), ic.wq_b.end(), 0.0f); // every score 0
    const Prefill p = prefill(*f, 2, 12, 30);
    for (int q : {2, 7, 11}) {
        std::vector<float> got(p.mask.begin() + q * 15 + 12, p.mask.begin() + q * 15 + 15);
        const std::vector<float> want = q == 2 ? std::vector<float>{-1e9f, -kInf, -kInf}
                                               : std::vector<float>{0, -kInf, -kInf};
        EXPECT_EQ(got, want) << q;
    }
}

// Decode of the last position from the prefill's rows gives that position's
// prefill mask row, and the same keys within FP8 rounding.
TEST(KeysAndMask, LastPrefillRowEqualsDecodeMask) {
    for (const int il : {0, 2, 3}) {
        auto f = cpuModel();
        const int64_t n = il == 3 ? 263 : 23, D = f->head_dim;
        const Prefill p = prefill(*f, il, n, 40);
        LayerCache c;
        c.x_rows = p.x;
        c.qa_rows = p.qlat;
        c.kv_rows = p.kv;
        float *keys = nullptr, *mask = nullptr;
        int64_t nKeys = 0;
        f->build_kv_and_mask_inc_(il, f->compress_ratio[size_t(il)], c, p.pos.data(), n, &keys, &mask, nKeys,
                                  nullptr, nullptr);
        ASSERT_EQ(nKeys, p.nKeys) << il;
        EXPECT_EQ(std::vector<float>(mask, mask + nKeys),
                  std::vector<float>(p.mask.begin() + (n - 1) * p.nKeys, p.mask.end()))
            << il;
        expectRowsNear(keys, p.keys.data(), size_t(nKeys * D), 2e-2, "layer " + std::to_string(il));
    }
}

// The decode's compact keys leave out only raw rows the last query cannot
// see: they are the full form's tail, bit for bit, and every dropped key is
// masked. Histories shorter and longer than the sliding window.
TEST(KeysAndMask, CompactDecodeKeysAreTheVisibleTail) {
    for (const int il : {0, 2, 3}) {
        for (const int64_t n : {int64_t(23), int64_t(263)}) {
            auto f = cpuModel();
            const int64_t D = f->head_dim;
            const Prefill p = prefill(*f, il, n, 41);
            LayerCache c;
            c.x_rows = p.x;
            c.qa_rows = p.qlat;
            c.kv_rows = p.kv;
            LayerCache c2 = c;
            float *keys = nullptr, *mask = nullptr, *ck = nullptr, *cm = nullptr;
            int64_t nKeys = 0, nCompact = 0;
            f->build_kv_and_mask_inc_(il, f->compress_ratio[size_t(il)], c, p.pos.data(), n, &keys, &mask, nKeys,
                                      nullptr, nullptr);
            const std::vector<float> fullKeys(keys, keys + nKeys * D), fullMask(mask, mask + nKeys);
            f->decode_keys_(il, f->compress_ratio[size_t(il)], c2, p.pos.data(), n, &ck, &cm, nCompact);
            const int64_t skip = nKeys - nCompact;
            SCOPED_TRACE("layer " + std::to_string(il) + ", " + std::to_string(n) + " rows");
            EXPECT_EQ(skip, n > f->sliding_window ? n - f->sliding_window : 0);
            for (int64_t j = 0; j < skip; ++j) ASSERT_EQ(fullMask[size_t(j)], -kInf) << j;
            EXPECT_EQ(std::vector<float>(cm, cm + nCompact), std::vector<float>(fullMask.begin() + skip, fullMask.end()));
            EXPECT_EQ(0, std::memcmp(ck, fullKeys.data() + skip * D, sizeof(float) * size_t(nCompact * D)));
        }
    }
}

// A history that slides keeps the compressed rows of the blocks still in
// it: the keys and mask equal a cache built afresh for the new history, and
// only the blocks that entered are projected.
TEST(KeysAndMask, SlidHistoryKeepsItsCompressedRows) {
    struct Case {
        int il;
        int64_t firstOld, firstNew, n;
    } cases[] = {{2, 16, 20, 40}, {2, 16, 17, 40}, {3, 100, 130, 300}};
    for (const Case& k : cases) {
        auto f = cpuModel();
        const int64_t D = f->head_dim, E = f->n_embd, Q = f->q_rank;
        const int r = f->compress_ratio[size_t(k.il)];
        const Prefill full = prefill(*f, k.il, k.firstNew + k.n, 60);
        auto cacheAt = [&](int64_t first) {
            LayerCache c;
            c.x_rows.assign(full.x.begin() + first * E, full.x.begin() + (first + k.n) * E);
            c.qa_rows.assign(full.qlat.begin() + first * Q, full.qlat.begin() + (first + k.n) * Q);
            c.kv_rows.assign(full.kv.begin() + first * D, full.kv.begin() + (first + k.n) * D);
            return c;
        };
        auto build = [&](LayerCache& c, int64_t first, std::vector<float>& keys, std::vector<float>& mask) {
            std::vector<int> pos(static_cast<size_t>(k.n));
            std::iota(pos.begin(), pos.end(), int(first));
            float *kp = nullptr, *mp = nullptr;
            int64_t nKeys = 0;
            f->build_kv_and_mask_inc_(k.il, r, c, pos.data(), k.n, &kp, &mp, nKeys, nullptr, nullptr);
            keys.assign(kp, kp + nKeys * D);
            mask.assign(mp, mp + nKeys);
        };
        SCOPED_TRACE("layer " + std::to_string(k.il) + " from " + std::to_string(k.firstOld) + " to " +
                     std::to_string(k.firstNew));
        std::vector<float> keys, mask, wantKeys, wantMask;
        LayerCache slid = cacheAt(k.firstOld);
        build(slid, k.firstOld, keys, mask);
        const LayerCache rows = cacheAt(k.firstNew);
        slid.x_rows = rows.x_rows;
        slid.qa_rows = rows.qa_rows;
        slid.kv_rows = rows.kv_rows;
        f->slide_compressed_rows_(slid, r, k.firstOld, k.n, k.firstNew, k.n);
        const uint64_t before = f->mm_count;
        build(slid, k.firstNew, keys, mask);
        const uint64_t slidProducts = f->mm_count - before;

        LayerCache fresh = cacheAt(k.firstNew);
        const uint64_t before2 = f->mm_count;
        build(fresh, k.firstNew, wantKeys, wantMask);
        const uint64_t freshProducts = f->mm_count - before2;
        EXPECT_EQ(mask, wantMask);
        ASSERT_EQ(keys.size(), wantKeys.size());
        EXPECT_EQ(0, std::memcmp(keys.data(), wantKeys.data(), sizeof(float) * keys.size()));
        EXPECT_LT(slidProducts, freshProducts);
    }
}

// Decode steps past a small row window: after each step the keys and mask
// equal those of a cache holding only the window's rows, while rows in
// front of the window are trimmed in bulk.
TEST(KeysAndMask, RowWindowMatchesAFreshHistoryEveryStep) {
    auto f = cpuModel();
    f->ix_top_k = 2; // the indexer's scores (of the latest row) choose among the blocks
    const int il = 2, r = 4;
    // Not a multiple of the ratio: blocks complete while rows are held in
    // front of the window.
    const int64_t D = f->head_dim, E = f->n_embd, Q = f->q_rank, window = 18, total = 60;
    const Prefill full = prefill(*f, il, total, 70);
    auto build = [&](LayerCache& c, int64_t first, int64_t g, std::vector<float>& keys, std::vector<float>& mask) {
        std::vector<int> pos(static_cast<size_t>(g));
        std::iota(pos.begin(), pos.end(), int(first));
        float *kp = nullptr, *mp = nullptr;
        int64_t nKeys = 0;
        f->build_kv_and_mask_inc_(il, r, c, pos.data(), g, &kp, &mp, nKeys, nullptr, nullptr);
        keys.assign(kp, kp + nKeys * D);
        mask.assign(mp, mp + nKeys);
    };
    LayerCache c;
    int64_t most = 0;
    for (int64_t p = 0; p < total; ++p) {
        c.x_rows.insert(c.x_rows.end(), full.x.begin() + p * E, full.x.begin() + (p + 1) * E);
        c.qa_rows.insert(c.qa_rows.end(), full.qlat.begin() + p * Q, full.qlat.begin() + (p + 1) * Q);
        c.kv_rows.insert(c.kv_rows.end(), full.kv.begin() + p * D, full.kv.begin() + (p + 1) * D);
        f->keep_window_(c, r, p, window);
        most = std::max(most, int64_t(c.kv_rows.size()) / D);
        const int64_t g = std::min(p + 1, window), first = p + 1 - g;
        std::vector<float> keys, mask, wantKeys, wantMask;
        build(c, first, g, keys, mask);
        LayerCache fresh;
        fresh.x_rows.assign(full.x.begin() + first * E, full.x.begin() + (p + 1) * E);
        fresh.qa_rows.assign(full.qlat.begin() + first * Q, full.qlat.begin() + (p + 1) * Q);
        fresh.kv_rows.assign(full.kv.begin() + first * D, full.kv.begin() + (p + 1) * D);
        build(fresh, first, g, wantKeys, wantMask);
        ASSERT_EQ(mask, wantMask) << p;
        ASSERT_EQ(keys.size(), wantKeys.size()) << p;
        ASSERT_EQ(0, std::memcmp(keys.data(), wantKeys.data(), sizeof(float) * keys.size())) << p;
    }
    EXPECT_LT(most, window + window / 4 + 1); // trimmed in bulk, never far past the window
    EXPECT_GT(most, window);                  // but not one row per step
}

// After the history slid, the rebuilt compressed rows keep their block
// positions: they equal the prefill route's rows for the same blocks.
TEST(KeysAndMask, RowsRebuiltAfterASlideMatchPrefill) {
    auto f = cpuModel();
    const int64_t D = f->head_dim, E = f->n_embd, Q = f->q_rank, total = 40, first = 13, g = total - first;
    const Prefill full = prefill(*f, 2, total, 50);
    LayerCache c;
    c.x_rows.assign(full.x.begin() + first * E, full.x.end());
    c.qa_rows.assign(full.qlat.begin() + first * Q, full.qlat.end());
    c.kv_rows.assign(full.kv.begin() + first * D, full.kv.end());
    std::vector<int> pos(full.pos.begin() + first, full.pos.end());
    float *keys = nullptr, *mask = nullptr;
    int64_t nKeys = 0;
    f->build_kv_and_mask_inc_(2, 4, c, pos.data(), g, &keys, &mask, nKeys, nullptr, nullptr);
    // Blocks 5 … 9: block 4 (positions 16 … 19) would need block 3, which
    // starts at 12, before the history.
    ASSERT_EQ(nKeys, g + 5);
    expectRowsNear(keys + g * D, full.keys.data() + (total + 5) * D, size_t(5 * D), 2e-2, "rebuilt rows");
    for (int64_t b = 0; b < 5; ++b) EXPECT_EQ(mask[g + b], 0.0f);
}

} // namespace
