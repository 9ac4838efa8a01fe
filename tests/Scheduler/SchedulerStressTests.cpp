#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "VivirovKit/Scheduler/AgentScheduler.h"
#include "VivirovKit/Support/Clock.h"
#include "tests/Scheduler/FakeEngine.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using Lane = AgentScheduler::Lane;

namespace {

struct Record {
    std::vector<uint32_t> prompt;
    std::mutex mutex;
    std::vector<uint32_t> tokens;
    std::atomic<int> done{0};
};

} // namespace

// Many producers, a streaming engine on its own thread and placements on the
// shared worker pool: every job gets exactly its own tokens, in order, and
// ends once, while user jobs preempt background ones along the way.
TEST(SchedulerStress, TwoHundredJobsFromEightThreadsEachGetTheirOwnTokensInOrder) {
    constexpr int threads = 8, perThread = 25, slots = 12;
    std::vector<std::unique_ptr<Record>> records;
    for (int i = 0; i < threads * perThread; ++i) {
        auto record = std::make_unique<Record>();
        for (int k = 0; k < 4 + i % 13; ++k) record->prompt.push_back(uint32_t(i) << 8 | uint32_t(k));
        records.push_back(std::move(record));
    }
    auto engine = std::make_shared<test::FakeEngine>(/*streaming=*/true);
    AgentScheduler scheduler(slots, engine);

    std::vector<std::vector<uint32_t>> returned(threads);
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t) {
        producers.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int j = 0; j < perThread; ++j) {
                const int index = t * perThread + j;
                Record& record = *records[index];
                if (j == perThread - 1) {
                    // The last job of each producer goes through runAgent,
                    // which blocks until the job ends.
                    returned[t] = scheduler.runAgent(record.prompt, t % 2 ? Lane::user : Lane::background,
                                                     1'000'000 + random() % 1'000'000);
                    std::lock_guard lock(record.mutex);
                    record.tokens = returned[t];
                    record.done = 1;
                    continue;
                }
                AgentScheduler::AgentJob job;
                job.agentID = scheduler.mintAgentID();
                job.role = AgentScheduler::allRoles[index % 6];
                job.prompt = record.prompt;
                job.lane = index % 3 == 0 ? Lane::user : Lane::background;
                job.deadline = Clock::current().uptimeNanos() + random() % 10'000'000;
                job.onToken = [&record](uint32_t token) {
                    std::lock_guard lock(record.mutex);
                    record.tokens.push_back(token);
                };
                job.onDone = [&record] { ++record.done; };
                scheduler.enqueue(std::move(job));
                if (j % 4 == 0) scheduler.yieldIfExhausted();
            }
        });
    }
    for (auto& producer : producers) producer.join();

    const auto total = int64_t(records.size());
    ASSERT_TRUE(test::waitUntil([&] { return scheduler.completedTotal() == total; }, std::chrono::seconds(60)))
        << "completed " << scheduler.completedTotal() << " of " << total;
    for (size_t i = 0; i < records.size(); ++i) {
        Record& record = *records[i];
        std::lock_guard lock(record.mutex);
        EXPECT_EQ(record.done.load(), 1) << "job " << i;
        EXPECT_EQ(record.tokens, record.prompt) << "job " << i;
    }
    EXPECT_LE(engine->maxRunning(), slots);
    EXPECT_EQ(scheduler.freeLaneCount(), slots);
    EXPECT_EQ(scheduler.pendingCount(), 0);
    EXPECT_EQ(scheduler.pausedCount(), 0);
    EXPECT_EQ(scheduler.failedTotal(), 0);
    engine->drain();
}
