#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/SerialQueue.h"
#include "VivirovKit/Support/WorkerPool.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using namespace std::chrono_literals;

TEST(Cancellation, StopEndsSleepPromptly) {
    std::stop_source source;
    std::atomic<bool> finished{false}, completed{true};
    std::thread sleeper([&] {
        completed = cancellableSleep(std::chrono::hours(1), source.get_token());
        finished = true;
    });
    std::this_thread::sleep_for(20ms);
    source.request_stop();
    EXPECT_TRUE(test::waitUntil([&] { return finished.load(); }, 2s));
    sleeper.join();
    EXPECT_FALSE(completed);
}

TEST(Cancellation, FakeClockSleepWakesOnAdvanceOrStop) {
    FakeClock clock;
    std::atomic<int> result{-1};
    std::thread sleeper([&] { result = clock.sleepFor(5'000'000'000ull) ? 1 : 0; });
    ASSERT_TRUE(test::waitUntil([&] { return clock.sleepers() == 1; }));
    clock.advance(4'000'000'000ull);
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(result.load(), -1);
    clock.advance(1'000'000'000ull);
    sleeper.join();
    EXPECT_EQ(result.load(), 1);

    std::stop_source source;
    std::thread cancelled([&] { result = clock.sleepFor(1'000'000'000ull, source.get_token()) ? 1 : 0; });
    ASSERT_TRUE(test::waitUntil([&] { return clock.sleepers() == 1; }));
    source.request_stop();
    cancelled.join();
    EXPECT_EQ(result.load(), 0);

    // A deadline read before an advance is not pushed back by it, on the
    // fake clock and through the system clock's relative sleep alike.
    const uint64_t deadline = clock.uptimeNanos() + 1'000'000'000ull;
    clock.advance(1'000'000'000ull);
    EXPECT_TRUE(clock.sleepUntil(deadline));
    EXPECT_TRUE(SystemClock::shared().sleepUntil(SystemClock::shared().uptimeNanos() - 1));
}

TEST(SerialQueue, RunsJobsInOrderAndDelayedJobsByDeadline) {
    std::vector<int> order;
    std::mutex mutex;
    auto record = [&](int v) { std::lock_guard l(mutex); order.push_back(v); };
    {
        SerialQueue queue("com.dudive.vivirov.test");
        queue.asyncAfter(60ms, [&] { record(4); });
        queue.asyncAfter(30ms, [&] { record(3); });
        queue.async([&] { record(1); });
        queue.async([&] { record(2); });
        ASSERT_TRUE(test::waitUntil([&] { std::lock_guard l(mutex); return order.size() == 4; }));
        EXPECT_EQ(queue.sync([] { return 7; }), 7);
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(SerialQueue, DestructionDropsDelayedJobsButRunsQueuedOnes) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("q");
        queue.async([&] { std::this_thread::sleep_for(20ms); ++ran; });
        queue.async([&] { ++ran; });
        queue.asyncAfter(std::chrono::hours(1), [&] { ran += 100; });
    }
    EXPECT_EQ(ran.load(), 2);
}

TEST(TaskGroup, ResultsComeBackInCallOrderWhateverFinishesFirst) {
    std::vector<std::function<int()>> jobs;
    for (int i = 0; i < 6; ++i)
        jobs.push_back([i] {
            std::this_thread::sleep_for(std::chrono::milliseconds((6 - i) * 5));
            return i * 10;
        });
    EXPECT_EQ(runTaskGroup(jobs, 4), (std::vector<int>{0, 10, 20, 30, 40, 50}));
    EXPECT_EQ(runTaskGroup(jobs, 1), (std::vector<int>{0, 10, 20, 30, 40, 50}));
}

TEST(TaskGroup, NeverRunsMoreThanTheBoundAndRethrowsAfterAllFinish) {
    std::atomic<int> running{0}, peak{0}, finished{0};
    std::vector<std::function<int()>> jobs;
    for (int i = 0; i < 10; ++i)
        jobs.push_back([&, i] {
            int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {}
            std::this_thread::sleep_for(5ms);
            --running;
            ++finished;
            if (i == 3) throw std::runtime_error("boom");
            return i;
        });
    EXPECT_THROW(runTaskGroup(jobs, 3), std::runtime_error);
    EXPECT_EQ(finished.load(), 10);
    EXPECT_LE(peak.load(), 3);
}

TEST(WorkerPool, RunsEverySubmittedJob) {
    std::atomic<int> count{0};
    {
        WorkerPool pool(3);
        for (int i = 0; i < 100; ++i) pool.submit([&] { ++count; });
    }
    EXPECT_EQ(count.load(), 100);
}
