#include <gtest/gtest.h>

#include <atomic>
#include <stop_token>
#include <thread>

#include "VivirovKit/Agentic/AgenticLoopBudget.h"
#include "VivirovKit/Support/Clock.h"
#include "tests/support/WaitUntil.h"

namespace vivirov {
namespace {

TEST(AgenticLoopBudget, HalvesAttemptsAndDoublesPausesOnBattery) {
    struct Case {
        int requested;
        bool battery;
        int maxAttempts;
        double multiplier;
    } cases[] = {
        {10, true, 5, 2.0}, {10, false, 10, 1.0}, {5, true, 2, 2.0},  {3, true, 1, 2.0},
        {2, true, 1, 2.0},  {1, true, 1, 2.0},    {0, true, 1, 2.0},  {-4, true, 1, 2.0},
        {0, false, 0, 1.0}, {-4, false, -4, 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.requested << (c.battery ? " on battery" : " on mains"));
        const AgenticLoopBudget budget(c.requested, FixedPowerSource(c.battery));
        EXPECT_EQ(budget.requestedMaxAttempts(), c.requested);
        EXPECT_EQ(budget.maxAttempts(), c.maxAttempts);
        EXPECT_EQ(budget.backoffMultiplier(), c.multiplier);
        EXPECT_EQ(budget.onBattery(), c.battery);
        EXPECT_EQ(budget.currentAttempt(), 0);
        EXPECT_EQ(budget.hasBudget(), c.maxAttempts > 0);
    }
}

TEST(AgenticLoopBudget, ExhaustedBudgetThrowsAndStaysAtItsLimit) {
    AgenticLoopBudget budget(10, FixedPowerSource(true));
    for (int i = 0; i < 5; ++i) budget.consumeAttempt();
    EXPECT_FALSE(budget.hasBudget());
    try {
        budget.consumeAttempt();
        FAIL() << "a sixth attempt was granted";
    } catch (const BudgetError& error) {
        EXPECT_EQ(error.kind, BudgetError::Kind::exhausted);
        EXPECT_EQ(error.attempts, 5);
        EXPECT_STREQ(error.what(), "BudgetExhaustedError: gave up after 5 attempt(s)");
    }
    EXPECT_EQ(budget.currentAttempt(), 5);
}

TEST(AgenticLoopBudget, PowerStateIsReadOnceAtCreation) {
    struct Switchable : PowerSource {
        mutable int reads = 0;
        bool battery = true;
        bool onBattery() const override {
            ++reads;
            return battery;
        }
    } power;
    const AgenticLoopBudget budget(10, power);
    power.battery = false;
    EXPECT_EQ(power.reads, 1);
    EXPECT_EQ(budget.maxAttempts(), 5);
    EXPECT_TRUE(budget.onBattery());
}

TEST(AgenticLoopBudget, BackoffGrowsWithTheAttemptNumber) {
    struct Case {
        bool battery;
        double timeScale;
        int attempt;
        uint64_t nanos;
    } cases[] = {
        {false, 1, -2, 100'000'000},  {false, 1, 0, 100'000'000},  {false, 1, 1, 100'000'000},
        {false, 1, 2, 500'000'000},   {false, 1, 3, 2'000'000'000}, {false, 1, 7, 2'000'000'000},
        {true, 1, 1, 200'000'000},    {true, 1, 2, 1'000'000'000},  {true, 1, 3, 4'000'000'000},
        {false, 0.001, 2, 500'000},   {false, 0, 3, 0},             {true, -1, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "attempt " << c.attempt << " scale " << c.timeScale
                                        << (c.battery ? " battery" : " mains"));
        const AgenticLoopBudget budget(3, FixedPowerSource(c.battery), c.timeScale);
        EXPECT_EQ(budget.backoffNanos(c.attempt), c.nanos);
    }
}

class BudgetOnFakeClock : public testing::Test {
protected:
    void SetUp() override { Clock::setCurrent(&clock); }
    void TearDown() override { Clock::setCurrent(nullptr); }
    FakeClock clock;
};

TEST_F(BudgetOnFakeClock, BackoffSleepsTheDelayOnTheProcessClock) {
    const AgenticLoopBudget budget(3, FixedPowerSource(false));
    std::atomic<bool> done{false};
    std::thread sleeper([&] {
        budget.backoff(2);
        done = true;
    });
    ASSERT_TRUE(test::waitUntil([&] { return clock.sleepers() == 1; }));
    clock.advance(499'999'999);
    EXPECT_FALSE(done.load());
    clock.advance(1);
    sleeper.join();
    EXPECT_TRUE(done.load());
}

TEST_F(BudgetOnFakeClock, CancelledBackoffReturnsAtOnceWithoutError) {
    const AgenticLoopBudget budget(3, FixedPowerSource(true));
    std::stop_source stop;
    std::thread sleeper([&] { budget.backoff(3, stop.get_token()); });
    ASSERT_TRUE(test::waitUntil([&] { return clock.sleepers() == 1; }));
    stop.request_stop();
    sleeper.join();

    // Already cancelled, or a zero delay: no sleep at all.
    budget.backoff(3, stop.get_token());
    AgenticLoopBudget(3, FixedPowerSource(false), 0).backoff(3);
    EXPECT_EQ(clock.sleepers(), 0);
}

TEST(AgenticLoopBudget, ElapsedTimeComesFromTheGivenClock) {
    double now = 100.0;
    const AgenticLoopBudget budget(3, FixedPowerSource(false), 1.0, [&] { return now; });
    EXPECT_EQ(budget.startedAt(), 100.0);
    now = 102.5;
    EXPECT_DOUBLE_EQ(budget.wallClockElapsed(), 2.5);
}

} // namespace
} // namespace vivirov
