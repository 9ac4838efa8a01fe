// The cognitive yield controller on a fake clock, over a scaffold engine:
// idle batches of background jobs, yielding to a user job, and the breath.
#include "tests/EngineGateway/HostFixture.h"

namespace vivirov::test {
namespace {

constexpr uint64_t kSecond = 1'000'000'000;

class Yield : public HostFixture {
protected:
    // Moves the fake clock in small steps, letting each step's firings run.
    // Work they start on the engine runs on in real time, so the tests leave
    // half a second of margin around every boundary they count.
    void pass(uint64_t nanos, uint64_t step = kSecond / 100) {
        for (uint64_t moved = 0; moved < nanos; moved += step) advanceAndSettle(step);
    }
    void bootScaffold() {
        ScopedEnv gate("VIVIROV_GATE6", "1");
        makeHost();
        bootstrapAndSettle(); // installs the controller
        ASSERT_TRUE(yield->isInstalled());
    }
};

TEST(YieldPrompt, IsTheIdleTextsBytesAsTokenIds) {
    const std::vector<uint32_t> prompt = CognitiveYieldController::idlePrompt();
    ASSERT_EQ(prompt.size(), 23u);
    EXPECT_EQ(prompt.front(), uint32_t('v'));
    EXPECT_EQ(prompt.back(), uint32_t('e'));
}

TEST_F(Yield, FirstBatchStartsAfterThirtyIdleSecondsAndOnlyOnce) {
    bootScaffold();
    pass(29 * kSecond + kSecond / 2, kSecond / 10);
    EXPECT_FALSE(yield->isBackgroundOptimizing());
    EXPECT_EQ(yield->backgroundAgentsSpawned(), 0);
    pass(kSecond, kSecond / 10);
    EXPECT_TRUE(yield->isBackgroundOptimizing());
    EXPECT_EQ(yield->backgroundAgentsSpawned(), 6);
    // The six jobs run on the engine and end; the flag stays until a stop.
    ASSERT_TRUE(qtWaitUntil([&] { return scheduler->completedTotal() == 6; }));
    pass(40 * kSecond, kSecond / 2);
    EXPECT_EQ(yield->backgroundAgentsSpawned(), 6);
    EXPECT_TRUE(yield->isBackgroundOptimizing());
}

TEST_F(Yield, NoBatchWithoutALiveEngine) {
    makeHost();
    yield->install();
    pass(35 * kSecond, kSecond / 2);
    EXPECT_FALSE(yield->isBackgroundOptimizing());
    EXPECT_EQ(yield->backgroundAgentsSpawned(), 0);
    EXPECT_EQ(scheduler->pendingCount(), 0);
}

TEST_F(Yield, AUserJobEndsTheBatchAndTheNextWaitsAnotherIdleSpell) {
    bootScaffold();
    pass(30 * kSecond + kSecond / 2, kSecond / 10);
    ASSERT_TRUE(yield->isBackgroundOptimizing());
    std::atomic<bool> done{false};
    host->submitUser({1}, [](uint32_t) {}, [&] { done = true; });
    ASSERT_TRUE(qtWaitUntil([&] { return done.load() && yield->interruptCount() == 1; }));
    EXPECT_FALSE(yield->isBackgroundOptimizing());
    EXPECT_EQ(yield->backgroundAgentsSpawned(), 6);
    pass(29 * kSecond + kSecond / 2, kSecond / 10);
    EXPECT_EQ(yield->backgroundAgentsSpawned(), 6);
    pass(kSecond + kSecond / 2, kSecond / 10);
    EXPECT_EQ(yield->backgroundAgentsSpawned(), 12);
}

TEST_F(Yield, InterruptWithNothingToStopStillCountsAndStampsActivity) {
    bootScaffold();
    pass(20 * kSecond + kSecond / 2, kSecond / 2);
    yield->signalInterrupt();
    EXPECT_EQ(yield->interruptCount(), 1);
    EXPECT_FALSE(yield->isBackgroundOptimizing());
    pass(29 * kSecond + kSecond / 2, kSecond / 10); // idle is counted from the interrupt
    EXPECT_EQ(yield->backgroundAgentsSpawned(), 0);
    pass(kSecond + kSecond / 2, kSecond / 10);
    EXPECT_EQ(yield->backgroundAgentsSpawned(), 6);
}

TEST_F(Yield, BreathCadenceFollowsTheTurnAndPausesOnlyAfterADeferredFrame) {
    makeHost();
    yield->install();
    yield->install(); // one pair of timers
    pass(kSecond * 15 / 100);
    EXPECT_EQ(breaths.size(), 1u); // the first tick, with no turn running, slows the cadence
    EXPECT_EQ(yield->breathIntervalNanos(), kSecond);
    pass(2 * kSecond);
    EXPECT_EQ(breaths.size(), 3u); // once a second

    startTurn();
    pass(kSecond); // the next slow tick sees the turn
    EXPECT_EQ(yield->breathIntervalNanos(), kSecond / 10);
    const size_t before = breaths.size();
    pass(2 * kSecond);
    EXPECT_NEAR(double(breaths.size() - before), 20.0, 2.0); // ten a second during a turn
    for (uint32_t us : breaths) EXPECT_EQ(us, 0u); // nothing was deferred

    for (int i = 0; i < FrameGovernor::maxMutationsPerFrame + 1; ++i) frames.canMutate();
    const size_t deferredAt = breaths.size();
    pass(kSecond * 25 / 100);
    ASSERT_GE(breaths.size(), deferredAt + 2);
    EXPECT_EQ(breaths[deferredAt], CognitiveYieldController::breathPauseMicros);
    EXPECT_EQ(breaths[deferredAt + 1], 0u); // the next frame had nothing deferred

    endTurn();
    pass(kSecond * 15 / 100);
    EXPECT_EQ(yield->breathIntervalNanos(), kSecond);
    yield->uninstall();
    EXPECT_EQ(breaths.back(), 0u);
    const size_t after = breaths.size();
    pass(2 * kSecond, kSecond / 10);
    EXPECT_EQ(breaths.size(), after);
}

} // namespace
} // namespace vivirov::test
