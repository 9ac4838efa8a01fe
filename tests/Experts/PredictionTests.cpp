// The expert predictors' pure pieces: the softmax vote, the umbrella swarm
// (seeded weights, candidates, the callback's (layer, expert) order) and the
// activation sketch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/vm_cabi_v2/first_touch_sketch.h"
#include "engine/vm_cabi_v2/latent_vote.h"
#include "engine/vm_cabi_v2/umbrella_swarm.h"

using vm::latent::LatentPacket;
using vm::latent::vote;

namespace {

LatentPacket packet(float score, std::vector<uint16_t> candidates) {
    LatentPacket p;
    p.score = score;
    p.n_candidates = uint16_t(candidates.size());
    for (size_t i = 0; i < candidates.size(); ++i) p.candidates[i] = candidates[i];
    return p;
}

} // namespace

TEST(LatentVote, WeighsBySoftmaxTalliesByWeightAndVotesAtMost1024) {
    // Scores 0 and ln 3: weights 1/4 and 3/4.
    std::vector<LatentPacket> ps = {packet(0.0f, {5, 2}), packet(std::log(3.0f), {2, 7})};
    ps[0].latent[0] = 4.0f;
    ps[1].latent[0] = 8.0f;
    const auto r = vote(ps.data(), 2, 1.0f);
    EXPECT_EQ(r.packets_voted, 2);
    ASSERT_EQ(r.count, 3);
    EXPECT_EQ(r.experts[0], 2); // 1/4 + 3/4
    EXPECT_EQ(r.experts[1], 7); // 3/4
    EXPECT_EQ(r.experts[2], 5); // 1/4
    EXPECT_NEAR(r.max_weight, 0.75f, 1e-6f);
    EXPECT_NEAR(r.mean_latent[0], 7.0f, 1e-5f);

    std::vector<LatentPacket> many(2000, packet(1.0f, {}));
    const auto all = vote(many.data(), 2000, 1.0f);
    EXPECT_EQ(all.packets_voted, 1024);
    EXPECT_FLOAT_EQ(all.max_weight, 1.0f / 1024);
    EXPECT_EQ(all.count, 0); // no candidates anywhere
    EXPECT_EQ(vote(many.data(), 0, 1.0f).packets_voted, 0);
}

TEST(UmbrellaSwarm, SeededWeightsCandidatesAndThePrefetchOrder) {
    vm::UmbrellaSwarm a({}), b({});
    EXPECT_EQ(a.w1(), b.w1());
    EXPECT_EQ(a.w2(), b.w2());
    // MT19937 seeded with 659918: first outputs 1486822358, 984253975.
    EXPECT_EQ(a.w1()[0], -0x1.f80b66p-7f);
    EXPECT_EQ(a.w1()[1], -0x1.bbbca6p-6f);
    EXPECT_EQ(a.w1().size(), size_t(64 * 64 * 128));
    EXPECT_EQ(a.packets()[3].magic, vm::latent::kPacketMagic);
    EXPECT_EQ(std::memcmp(&a.packets()[3].magic, "NTAL", 4), 0);

    std::vector<float> x(64);
    for (int i = 0; i < 64; ++i) x[size_t(i)] = float(i % 9) * 0.25f - 1.0f;
    std::vector<std::pair<int, int>> calls;
    const auto r = a.run(x.data(), 64, 17, 8, 2, [&](int l, int e) { calls.emplace_back(l, e); });
    ASSERT_GE(r.count, 1);
    ASSERT_EQ(calls.size(), size_t(r.count) * 4);
    for (int i = 0; i < r.count; ++i)
        for (int l = 0; l < 4; ++l) EXPECT_EQ(calls[size_t(i * 4 + l)], std::make_pair(2 + l, r.experts[i]));
    for (const auto& p : a.packets()) {
        EXPECT_EQ(p.sequence, p.agent + 17 + 1);
        EXPECT_EQ(p.n_candidates, 2);
        EXPECT_EQ(p.first_layer, 2);
        EXPECT_EQ(p.end_layer, 6);
        EXPECT_LT(p.candidates[1], 8);
        EXPECT_FLOAT_EQ(p.score, std::fma(float(p.agent), -0.01f, p.latent[0]));
    }
    EXPECT_EQ(a.runs(), 1u);
    // The same input gives the same vote.
    EXPECT_EQ(b.run(x.data(), 64, 17, 8, 2, nullptr).experts[0], r.experts[0]);
    EXPECT_EQ(a.run(nullptr, 64, 17, 8, 2, nullptr).count, 0);
    EXPECT_EQ(a.runs(), 1u);
}

TEST(FirstTouchSketch, ResamplesToItsDimensionAndSignsEachColumn) {
    vm::apex::FirstTouchSketch s;
    const float one = 2.0f;
    s.observe(&one, 1); // every resampled value is x[0]
    for (uint32_t j = 0; j < s.width; ++j) {
        EXPECT_EQ(s.acc[j], s.acc[511 * s.width + j]);
        EXPECT_LE(std::fabs(s.acc[j]), 2.0);
    }
    EXPECT_EQ(s.observations, 1u);
    std::vector<float> ramp(1024);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i);
    const std::vector<double> before = s.acc;
    s.observe(ramp.data(), 1024); // v[i] = x[2i]: rows 1 and 511 gain 2·s and 1022·s
    for (uint32_t j = 0; j < s.width; ++j) {
        const double d1 = s.acc[1 * s.width + j] - before[1 * s.width + j];
        const double d511 = s.acc[511 * s.width + j] - before[511 * s.width + j];
        EXPECT_NEAR(d511, 511 * d1, 1e-9 * std::fabs(d511) + 1e-12);
    }
    s.observe(nullptr, 5);
    EXPECT_EQ(s.observations, 2u);
}
