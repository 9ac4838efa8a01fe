// The continuous batcher against a scripted batched decode and a fake clock:
// when a partial batch waits and when it goes, full batches, budgets and the
// stop token, the submission ring.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "engine/vm_batch/dyn_batch_scheduler.h"

using vm::batch::DynBatchScheduler;

namespace {

std::atomic<uint64_t> g_now{1'000'000};
uint64_t fakeNow() { return g_now.load(); }

// Answers token + 1 for every sequence, or the stop token for sequence 60's
// third call; records each batch.
struct ScriptedModel {
    std::vector<std::vector<int>> batches; // the sequences of each call
    std::vector<std::vector<int>> fed;     // the tokens of each call
    int callsOf60 = 0;
    static void decode(void* ctx, const int* seqs, const int* tokens, int n, int* out) {
        auto* m = static_cast<ScriptedModel*>(ctx);
        m->batches.emplace_back(seqs, seqs + n);
        m->fed.emplace_back(tokens, tokens + n);
        for (int i = 0; i < n; ++i) {
            out[i] = tokens[i] + 1;
            if (seqs[i] == 60 && ++m->callsOf60 == 3) out[i] = vm::batch::kNoStopToken;
        }
    }
};

class Scheduler : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1'000'000;
        s = std::make_unique<DynBatchScheduler>();
        s->init(&ScriptedModel::decode, &model, &fakeNow);
    }
    void advanceMs(uint64_t ms) { g_now += ms * 1000; }

    ScriptedModel model;
    std::unique_ptr<DynBatchScheduler> s;
};

TEST_F(Scheduler, APartialBatchWaitsTenMillisecondsForCompanions) {
    ASSERT_EQ(s->open_slot(10, 4, 0), 0);
    ASSERT_EQ(s->open_slot(20, 4, 1), 1);
    advanceMs(2);
    EXPECT_EQ(s->step(), 0);
    EXPECT_TRUE(model.batches.empty());
    advanceMs(8);
    EXPECT_EQ(s->step(), 2);
    ASSERT_EQ(model.batches.size(), 1u);
    EXPECT_EQ(model.batches[0], (std::vector<int>{0, 1}));
    EXPECT_EQ(model.fed[0], (std::vector<int>{10, 20}));
    EXPECT_EQ(s->slot(0).last_token, 11);
    EXPECT_EQ(s->partial_batches_, 1u);
    EXPECT_EQ(s->tokens_, 2u);
}

TEST_F(Scheduler, ALoneLiveSlotDecodesAtOnce) {
    const int slot = s->open_slot(5, 3, 0);
    EXPECT_EQ(s->step(), 1);
    EXPECT_EQ(s->step(), 1);
    EXPECT_EQ(s->step(), 1);
    // Its budget of three is spent: retired, back on the free stack.
    EXPECT_EQ(s->live(), 0);
    EXPECT_TRUE(s->slot(slot).done);
    EXPECT_EQ(s->slot(slot).id, -1);
    EXPECT_EQ(s->slot(slot).last_token, 8);
    EXPECT_EQ(s->step(), 0);
    EXPECT_EQ(s->open_slot(1, 1, 0), slot);
}

TEST_F(Scheduler, SixteenReadySlotsGoAsOneFullBatchAndTheRestWaits) {
    for (int i = 0; i < 17; ++i) ASSERT_EQ(s->open_slot(100 + i, 8, uint8_t(i)), i);
    EXPECT_EQ(s->step(), 16);
    EXPECT_EQ(s->full_batches_, 1u);
    ASSERT_EQ(model.batches[0].size(), 16u);
    EXPECT_EQ(model.batches[0].front(), 0);
    EXPECT_EQ(model.batches[0].back(), 15);
    // Slot order decides: the first sixteen go again while slot 16 waits for
    // them to retire, then runs alone without gathering.
    EXPECT_EQ(s->step(), 16);
    EXPECT_EQ(model.batches[1].back(), 15);
    EXPECT_EQ(s->run_until_idle(1000), 6 * 16 + 8);
    EXPECT_EQ(s->slot(16).generated, 8);
    EXPECT_EQ(s->tokens_, 17u * 8u);
}

TEST_F(Scheduler, TheStopTokenRetiresASlotBeforeItsBudget) {
    const int slot = s->open_slot(1, 64, 60);
    EXPECT_EQ(s->run_until_idle(100), 3);
    EXPECT_EQ(s->live(), 0);
    EXPECT_EQ(s->slot(slot).generated, 3);
    EXPECT_EQ(s->slot(slot).last_token, vm::batch::kNoStopToken);
}

TEST_F(Scheduler, SubmissionsFeedTokensAndBudgetsOfLiveSlotsOnly) {
    const int slot = s->open_slot(1, 2, 0);
    ASSERT_TRUE(s->post(slot, 40, 5, s->now())); // new token and a larger budget
    ASSERT_TRUE(s->post(9, 77, 5, s->now()));    // slot 9 is not live: ignored
    EXPECT_EQ(s->step(), 1);
    EXPECT_EQ(model.fed[0], std::vector<int>{40});
    EXPECT_EQ(s->run_until_idle(100), 4);
    EXPECT_EQ(s->slot(slot).generated, 5);
    EXPECT_EQ(s->slot(9).live, 0);
}

TEST_F(Scheduler, AFullSubmissionRingDropsAndAStepTakesAtMostSixteen) {
    const int slot = s->open_slot(1, 64, 0);
    int posted = 0;
    while (s->post(slot, posted, 0, s->now())) ++posted;
    EXPECT_EQ(posted, 255); // one record stays free to tell full from empty
    EXPECT_EQ(s->step(), 1);
    EXPECT_EQ(model.fed[0], std::vector<int>{15}); // the 16th record taken last
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(s->post(slot, 1000 + i, 0, s->now()));
    EXPECT_FALSE(s->post(slot, 2000, 0, s->now()));
}

TEST_F(Scheduler, RunUntilIdleStopsWhenNothingIsLiveOrWaiting) {
    EXPECT_EQ(s->run_until_idle(1000), 0);
    EXPECT_EQ(s->steps_, 0u);
    s->open_slot(1, 2, 0);
    s->open_slot(1, 2, 1);
    // step() alone lets the two gather; inside run_until_idle no submission
    // can arrive, so they decode at once though the clock never moves.
    EXPECT_EQ(s->step(), 0);
    EXPECT_EQ(s->run_until_idle(5), 4);
    EXPECT_EQ(s->live(), 0);
    EXPECT_EQ(s->batches_, 2u);
}

} // namespace
