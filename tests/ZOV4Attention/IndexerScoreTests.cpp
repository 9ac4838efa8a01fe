// The sparse indexer's block scores against a double-precision reference,
// and the keep flags of the top-k selection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "engine/zov4/zov4_attention.h"
#include "engine/zov4/zov4_forward.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<float> uniform(size_t n, uint32_t seed, float spread = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-spread, spread);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

TEST(IndexerScoresPrefill, MatchesReference) {
    const int E = 96, Q = 48, Hi = 3, Di = 128, n = 5, nb = 4, rot = 64;
    const auto x = uniform(size_t(n) * E, 1), qlat = uniform(size_t(n) * Q, 2);
    const auto keys = uniform(size_t(nb) * Di, 3), wq = uniform(size_t(Hi) * Di * Q, 4, 0.3f);
    const auto wp = uniform(size_t(Hi) * E, 5, 0.3f);
    const std::vector<int> pos = {0, 3, 4, 9, 17};
    std::vector<float> visible(size_t(n) * nb, 0.0f);
    for (int t = 0; t < n; ++t)
        for (int b = std::min((pos[t] + 1) / 4, nb); b < nb; ++b) visible[size_t(t) * nb + b] = -kInf;

    std::vector<float> scores(size_t(n) * nb, 5.0f);
    vm::zov4::indexer_scores_prefill(x.data(), qlat.data(), keys.data(), wq.data(), wp.data(), pos.data(),
                                     visible.data(), scores.data(), E, Q, Hi, Di, n, nb, rot, 2, 4096, 10000.0f,
                                     1.0f, 1.0f, 1.0f, 32.0f, 1.0f);

    for (int t = 0; t < n; ++t) {
        // Query heads in double, rotated by the (separately checked) rotary tail.
        std::vector<float> q(size_t(Hi) * Di), qr(q.size());
        for (int o = 0; o < Hi * Di; ++o) {
            double s = 0;
            for (int k = 0; k < Q; ++k) s += double(wq[size_t(o) * Q + k]) * qlat[size_t(t) * Q + k];
            q[o] = float(s);
        }
        vm::zov4::rope_tail(qr.data(), q.data(), &pos[t], Di, Hi, 1, rot, 2, 4096, 10000.0f, 1.0f, 1.0f, 1.0f,
                            32.0f, 1.0f);
        for (int b = 0; b < nb; ++b) {
            double want = 0;
            for (int h = 0; h < Hi; ++h) {
                double w = 0, d = 0;
                for (int k = 0; k < E; ++k) w += double(wp[size_t(h) * E + k]) * x[size_t(t) * E + k];
                for (int k = 0; k < Di; ++k) d += double(qr[size_t(h) * Di + k]) * keys[size_t(b) * Di + k];
                want += std::max(d, 0.0) * w / std::sqrt(double(Hi) * Di);
            }
            const float got = scores[size_t(t) * nb + b];
            if (std::isinf(visible[size_t(t) * nb + b])) {
                EXPECT_EQ(got, -kInf);
            } else {
                EXPECT_NEAR(got, want, 1e-4 * (1 + std::fabs(want))) << t << " " << b;
            }
        }
    }
}

std::vector<int> kept(const std::vector<float>& scores, int k) {
    std::vector<char> keep(scores.size(), 7);
    std::vector<int> order(scores.size());
    vm::zov4::ZOV4Forward::topk_keep_mask_(int64_t(scores.size()), k, scores.data(), keep.data(), order.data());
    std::vector<int> out;
    for (size_t i = 0; i < keep.size(); ++i) {
        EXPECT_TRUE(keep[i] == 0 || keep[i] == 1);
        if (keep[i]) out.push_back(int(i));
    }
    return out;
}

TEST(TopkKeepMask, Table) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        std::vector<float> scores;
        int k;
        std::vector<int> want;
    } cases[] = {
        {"k at least n keeps all", {3, -kInf, 1}, 5, {0, 1, 2}},
        {"k zero keeps none", {3, 2, 1}, 0, {}},
        {"best two", {0.5f, 3, -1, 2, 2.5f}, 2, {1, 4}},
        {"ties keep the lower index", {1, 2, 2, 2, 0}, 2, {1, 2}},
        {"NaN ranks last", {nan, -5, nan, -6}, 2, {1, 3}},
    };
    for (const Case& c : cases) EXPECT_EQ(kept(c.scores, c.k), c.want) << c.name;
}

// Above 128 blocks the heap selection keeps exactly the k highest.
TEST(TopkKeepMask, KeepsTheHighestOfMany) {
    std::vector<float> scores(200);
    std::iota(scores.begin(), scores.end(), 0.0f);
    std::shuffle(scores.begin(), scores.end(), std::mt19937(3));
    const std::vector<int> got = kept(scores, 64);
    ASSERT_EQ(got.size(), 64u);
    for (int i : got) EXPECT_GE(scores[i], 136.0f);
}

} // namespace
