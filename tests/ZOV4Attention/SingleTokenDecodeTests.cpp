// The single-token decode on the tiny DeepSeek-V4 model over a history longer
// than the sliding window and many completed compressor blocks: it agrees
// with one prefill of the same tokens, and gives the same bits for any pool
// size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <cblas.h>

#include "engine/common/thread_budget.h"
#include "tests/ZOV4Attention/AttentionModel.h"
#include "tests/support/PoolSizeHashes.h"

using namespace vivirov::test;
using vm::zov4::ZOV4Forward;

namespace {

// 150 positions: past the 128-row window, 37 blocks of ratio 4 and one of
// ratio 128.
std::vector<int32_t> tokens() {
    std::vector<int32_t> t(150);
    for (size_t i = 0; i < t.size(); ++i) t[i] = int32_t((i * 53 + 11) % 512);
    return t;
}

// Routing that does not depend on the order rows are routed in (prefill
// routes layer by layer, decode token by token).
void orderFreeRouting(ZOV4Forward& f) {
    f.sticky = false;
    for (int e = 0; e < f.n_expert; ++e) f.active_set.on_routed(1, e, 1);
}

TEST(SingleTokenDecode, PastTheWindowAgreesWithOnePrefill) {
    const std::vector<int32_t> all = tokens();
    // Fewer kept blocks than complete ones, so that the indexer's choice
    // shows in the logits.
    const int topK = 8;
    auto whole = cpuModel();
    whole->ix_top_k = topK;
    orderFreeRouting(*whole);
    std::vector<float> want;
    whole->forward(all, &want);

    auto split = cpuModel();
    split->ix_top_k = topK;
    orderFreeRouting(*split);
    std::vector<float> got;
    split->forward(std::vector<int32_t>(all.begin(), all.begin() + 9), &got);
    for (size_t t = 9; t < all.size(); ++t) split->forward_one(all[t], &got);

    ASSERT_EQ(got.size(), want.size());
    double gap = 0, scale = 1;
    for (size_t i = 0; i < got.size(); ++i) {
        gap = std::max(gap, std::fabs(double(got[i]) - want[i]));
        scale = std::max(scale, std::fabs(double(want[i])));
    }
    EXPECT_LT(gap / scale, 1e-3);
    EXPECT_EQ(std::max_element(got.begin(), got.end()) - got.begin(),
              std::max_element(want.begin(), want.end()) - want.begin());
}

// Child: prefill, then the rest decoded one token at a time; prints a hash
// of every step's logits.
TEST(SingleTokenDecode, DeterministicChild) {
    if (!isChildTest("SingleTokenDecode.DeterministicChild")) GTEST_SKIP() << "runs in a child process";
    vm::thread_budget();
    openblas_set_num_threads(1);
    const std::vector<int32_t> all = tokens();
    auto f = cpuModel();
    f->forward(std::vector<int32_t>(all.begin(), all.begin() + 5));
    BitHash h;
    for (size_t t = 5; t < all.size(); ++t) {
        std::vector<float> logits;
        f->forward_one(all[t], &logits);
        h.add(logits);
    }
    h.print();
}

TEST(SingleTokenDecode, SameBitsForAnyPoolSize) {
    expectSameHashForPoolSizes("SingleTokenDecode.DeterministicChild", {"1", "2", "8"});
}

} // namespace
