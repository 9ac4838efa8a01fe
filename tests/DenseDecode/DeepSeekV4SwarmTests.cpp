// The swarm step and draft verification on a DeepSeek-V4 engine: the
// batched synthetic prefill, draft acceptance against the model's own greedy
// tokens, and running requests that decode the same tokens while another
// thread keeps calling both.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "engine/vm_v2/swarm_ids.h"
#include "tests/EngineV2/EngineV2Harness.h"
#include "tests/support/DeepSeekV4EngineSuite.h"
#include "vm_swarm.h"

using namespace vivirov::test;

namespace {

class DeepSeekV4Swarm : public DeepSeekV4EngineSuite {
protected:
    // The tokens a request for `prompt` streams back. Its recorder outlives
    // the engine, which may still deliver to it when the wait gave up.
    std::vector<int32_t> request(uint32_t agent, const std::vector<uint32_t>& prompt) {
        Recorder& rec = *recorders_.emplace_back(std::make_unique<Recorder>());
        EXPECT_EQ(vivirov_vm_v2_infer_async(w, agent, prompt.data(), uint32_t(prompt.size()), &Recorder::hook,
                                            rec.request(agent)),
                  1);
        // Slow under the race detector: 32 steps of the model.
        EXPECT_TRUE(waitUntil([&] { return rec.finals() == 1; }, std::chrono::seconds(300)));
        std::vector<int32_t> out;
        for (const auto& e : rec.hooks()) out.push_back(e.token);
        return out;
    }

    void TearDown() override {
        DeepSeekV4EngineSuite::TearDown();
        recorders_.clear();
    }

    std::vector<std::unique_ptr<Recorder>> recorders_;
};

} // namespace

TEST_F(DeepSeekV4Swarm, BatchedStepPrefillsEightIdsPerAgentSeededByTheLastOnes) {
    ASSERT_TRUE(w->engine.is_zov4_);
    const uint32_t agents[] = {7, 8, 9};
    EXPECT_EQ(vmb_forward_swarm(w, agents, 3), 24);
    std::vector<int32_t> first;
    for (uint32_t j = 0; j < 3; ++j) {
        const auto ids = vivirov::swarm_ids(j, std::nullopt);
        ASSERT_EQ(w->engine.swarm_last_.count(agents[j]), 1u);
        EXPECT_EQ(w->engine.swarm_last_.at(agents[j]), int32_t(ids.back()));
        first.push_back(w->engine.swarm_last_.at(agents[j]));
    }
    EXPECT_EQ(vmb_forward_swarm(w, agents, 3), 24);
    for (uint32_t j = 0; j < 3; ++j) {
        const auto ids = vivirov::swarm_ids(j, uint32_t(first[j]));
        EXPECT_EQ(w->engine.swarm_last_.at(agents[j]), int32_t(ids.back())) << "seeded by the stored last id";
        EXPECT_NE(w->engine.swarm_last_.at(agents[j]), first[j]);
    }
    // One agent takes the per-agent path: one step, no synthetic ids.
    EXPECT_EQ(vmb_forward_swarm(w, agents, 1), 1);
    EXPECT_EQ(w->engine.swarm_last_.at(agents[0]), int32_t(vivirov::swarm_ids(0, uint32_t(first[0])).back()));
}

TEST_F(DeepSeekV4Swarm, DraftOfTheModelsOwnTokensIsAcceptedWhole) {
    const std::vector<int32_t> greedy = request(1, {17});
    ASSERT_GE(greedy.size(), 3u);
    std::vector<uint32_t> draft = {17, uint32_t(greedy[0]), uint32_t(greedy[1]), uint32_t(greedy[2])};
    int32_t accepted = -5;
    EXPECT_EQ(vmb_forward_verify_draft(w, 1, draft.data(), 4, &accepted), 0);
    EXPECT_EQ(accepted, 4);
    draft[1] = (draft[1] + 1) % 512;
    EXPECT_EQ(vmb_forward_verify_draft(w, 1, draft.data(), 4, &accepted), 0);
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(vmb_forward_verify_draft(w, 1, draft.data(), 1, &accepted), 0);
    EXPECT_EQ(accepted, 1);
    draft[2] = 512; // outside the vocabulary
    EXPECT_EQ(vmb_forward_verify_draft(w, 1, draft.data(), 4, &accepted), -1);
    EXPECT_EQ(accepted, 0);
}

TEST_F(DeepSeekV4Swarm, RunningRequestsDecodeTheSameTokensWhileSwarmAndDraftsRun) {
    const std::vector<int32_t> alone = request(1, {5, 17, 33});
    ASSERT_FALSE(alone.empty());
    std::atomic<bool> done{false};
    std::atomic<int> rounds{0};
    std::thread other([&] {
        const uint32_t agents[] = {1, 2};
        const uint32_t draft[] = {5, 6, 7, 9};
        int32_t accepted = 0;
        while (!done.load()) {
            EXPECT_EQ(vmb_forward_swarm(w, agents, 2), 16);
            EXPECT_EQ(vmb_forward_swarm(w, agents, 1), 1);
            EXPECT_EQ(vmb_forward_verify_draft(w, 1, draft, 4, &accepted), 0);
            rounds++;
        }
    });
    const bool started = waitUntil([&] { return rounds.load() > 0; }, std::chrono::seconds(300));
    const std::vector<int32_t> beside = started ? request(1, {5, 17, 33}) : std::vector<int32_t>();
    done = true;
    other.join();
    ASSERT_TRUE(started);
    EXPECT_EQ(beside, alone);
}
