#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "VivirovKit/Scheduler/AgentScheduler.h"
#include "VivirovKit/Support/Clock.h"
#include "tests/Scheduler/FakeEngine.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using vivirov::test::FakeEngine;
using vivirov::test::ManualExecutor;
using Lane = AgentScheduler::Lane;
using AgentRole = AgentScheduler::AgentRole;
using AgentJob = AgentScheduler::AgentJob;
using JobSummary = AgentScheduler::SchedulerSnapshot::JobSummary;

namespace {

// What the jobs' own callbacks saw, per agent id. Shared with the callbacks
// so that late engine reports never touch a finished test.
struct Ledger {
    std::mutex mutex;
    std::map<uint32_t, int> done;
    std::map<uint32_t, std::vector<uint32_t>> tokens;

    int doneCount(uint32_t id) {
        std::lock_guard lock(mutex);
        return done.count(id) ? done[id] : 0;
    }
};

class SchedulerTest : public ::testing::Test {
protected:
    FakeClock clock{1'000};
    ManualExecutor executor;
    int yields = 0;
    std::shared_ptr<Ledger> ledger = std::make_shared<Ledger>();
    std::shared_ptr<FakeEngine> engine = std::make_shared<FakeEngine>();
    std::unique_ptr<AgentScheduler> scheduler;

    void make(int64_t slots, bool withEngine = true) {
        AgentScheduler::Context context;
        context.clock = &clock;
        context.post = [this](std::function<void()> job) { executor.post(std::move(job)); };
        context.yield = [this] { ++yields; };
        scheduler = std::make_unique<AgentScheduler>(slots, withEngine ? engine : nullptr, context);
    }

    uint32_t add(Lane lane, uint64_t deadline = 0, AgentRole role = AgentRole::coordinator) {
        AgentJob job;
        job.agentID = scheduler->mintAgentID();
        job.role = role;
        job.prompt = {job.agentID};
        job.deadline = deadline;
        job.lane = lane;
        auto id = job.agentID;
        auto ledger = this->ledger;
        job.onToken = [ledger, id](uint32_t token) {
            std::lock_guard lock(ledger->mutex);
            ledger->tokens[id].push_back(token);
        };
        job.onDone = [ledger, id] {
            std::lock_guard lock(ledger->mutex);
            ++ledger->done[id];
        };
        scheduler->enqueue(std::move(job));
        return id;
    }

    // Delivers what the engine queued and runs the placements it caused.
    void settle() {
        do {
            engine->drain();
        } while (executor.runAll() > 0);
    }

    std::vector<AgentScheduler::ActiveAgent> active() { return scheduler->activeAgents(); }

    void TearDown() override {
        if (scheduler) settle();
        scheduler.reset();
        engine->drain();
    }
};

} // namespace

TEST(AgentSchedulerVocabulary, RolesAndStatesKeepTheirTexts) {
    struct Row {
        AgentRole role;
        const char* raw;
        const char* prompt;
        const char* symbol;
    };
    const Row rows[] = {
        {AgentRole::coordinator, "coordinator",
         "You are the Coordinator. Decompose the task and delegate to specialist agents.", "brain.head.profile"},
        {AgentRole::coder, "coder", "You are the Coder. Write clean, correct, tested code. Explain trade-offs.",
         "chevron.left.forwardslash.chevron.right"},
        {AgentRole::reviewer, "reviewer", "You are the Reviewer. Audit the work for bugs, security, and correctness.",
         "checkmark.shield"},
        {AgentRole::researcher, "researcher", "You are the Researcher. Gather facts, cite sources, flag uncertainty.",
         "magnifyingglass"},
        {AgentRole::planner, "planner", "You are the Planner. Break work into ordered, verifiable steps.",
         "list.bullet.rectangle"},
        {AgentRole::tester, "tester", "You are the Tester. Write adversarial tests proving the work holds.",
         "wrench.and.screwdriver"},
    };
    ASSERT_EQ(AgentScheduler::allRoles.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].raw);
        EXPECT_EQ(AgentScheduler::allRoles[i], rows[i].role);
        EXPECT_STREQ(rawValue(rows[i].role), rows[i].raw);
        EXPECT_STREQ(systemPrompt(rows[i].role), rows[i].prompt);
        EXPECT_STREQ(symbol(rows[i].role), rows[i].symbol);
        EXPECT_EQ(agentRoleFromRaw(rows[i].raw), rows[i].role);
    }
    EXPECT_EQ(agentRoleFromRaw("Coder"), std::nullopt);
    EXPECT_EQ(agentRoleFromRaw(""), std::nullopt);

    for (auto state : {JobSummary::State::running, JobSummary::State::queuedUser, JobSummary::State::queuedBackground,
                       JobSummary::State::paused})
        EXPECT_EQ(jobStateFromRaw(rawValue(state)), state);
    EXPECT_STREQ(rawValue(JobSummary::State::queuedBackground), "queuedBackground");
    EXPECT_EQ(jobStateFromRaw("queued"), std::nullopt);
}

TEST(EngineDispatching, SubmitWithoutPreemptReportsAPreemptionAsCompletion) {
    FakeEngine engine;
    std::atomic<int> done{0};
    ASSERT_TRUE(engine.submit(7, {1}, [](uint32_t) {}, [&] { ++done; }));
    engine.preempt(7);
    engine.drain();
    EXPECT_EQ(done.load(), 1);
}

TEST_F(SchedulerTest, MintsIdsFromOne) {
    make(1);
    EXPECT_EQ(scheduler->mintAgentID(), 1u);
    EXPECT_EQ(scheduler->mintAgentID(), 2u);
}

TEST_F(SchedulerTest, UserJobWithAFreeSlotStartsInEnqueueWithoutAPause) {
    make(2);
    auto background = add(Lane::background);
    auto user = add(Lane::user, 50);
    EXPECT_EQ(engine->started(), (std::vector<uint32_t>{background, user}));
    EXPECT_TRUE(engine->paused().empty());
    EXPECT_EQ(scheduler->freeLaneCount(), 0);
}

TEST_F(SchedulerTest, UserJobFindingOnlyUserJobsWaitsWithoutAPause) {
    make(2);
    add(Lane::user, 10);
    add(Lane::user, 20);
    add(Lane::user, 30);
    EXPECT_EQ(engine->started().size(), 2u);
    EXPECT_TRUE(engine->paused().empty());
    EXPECT_EQ(scheduler->pendingCount(), 1);
}

TEST_F(SchedulerTest, PreemptionServesTheWaitingUserJobAndParkedAgentsResumeLater) {
    make(8);
    std::vector<uint32_t> ids;
    for (int slot = 0; slot < 8; ++slot) ids.push_back(add(slot == 3 || slot == 7 ? Lane::background : Lane::user, 100));
    const uint32_t b3 = ids[3], b7 = ids[7];

    // Each waiting user job asks for its own preemption: the lowest
    // background slot first, then the next one not already asked.
    auto late = add(Lane::user, 50);
    EXPECT_EQ(engine->paused(), (std::vector<uint32_t>{b3}));
    auto early = add(Lane::user, 40);
    EXPECT_EQ(engine->paused(), (std::vector<uint32_t>{b3, b7}));
    EXPECT_EQ(scheduler->pendingCount(), 2);

    engine->preempt(b3);
    settle();
    EXPECT_EQ(engine->started().back(), early) << "the freed slot goes to the earliest user job";
    EXPECT_EQ(active()[3], (AgentScheduler::ActiveAgent{early, AgentRole::coordinator, Lane::user}));
    EXPECT_EQ(scheduler->pausedCount(), 1);
    EXPECT_TRUE(engine->resumed().empty());

    engine->preempt(b7);
    settle();
    EXPECT_EQ(engine->started().back(), late);
    EXPECT_EQ(scheduler->preemptCount(), 2);
    EXPECT_EQ(scheduler->pendingCount(), 0);

    // A completion frees a slot that no user job needs: the oldest parked
    // agent continues there, in the background lane.
    clock.advance(5'000);
    engine->finish(ids[0]);
    settle();
    EXPECT_EQ(engine->resumed(), (std::vector<uint32_t>{b3}));
    EXPECT_EQ(active()[0], (AgentScheduler::ActiveAgent{b3, AgentRole::coordinator, Lane::background}));
    EXPECT_EQ(scheduler->resumeCount(), 1);
    EXPECT_EQ(scheduler->preemptLatencyNanos(), (std::vector<uint64_t>{5'000}));
    EXPECT_EQ(scheduler->pausedCount(), 1);
}

TEST_F(SchedulerTest, ResumedAgentEndsInTheSlotItRunsInNotTheOneItLeft) {
    make(2);
    auto a = add(Lane::background);
    auto b = add(Lane::background);
    auto u = add(Lane::user, 10);
    engine->preempt(a);
    settle(); // u takes slot 0
    engine->finish(b);
    settle(); // a continues in slot 1
    ASSERT_EQ(engine->resumed(), (std::vector<uint32_t>{a}));

    engine->finish(a);
    settle();
    EXPECT_EQ(active(), (std::vector<AgentScheduler::ActiveAgent>{{u, AgentRole::coordinator, Lane::user}}));
    EXPECT_EQ(scheduler->freeLaneCount(), 1);

    auto next = add(Lane::background);
    EXPECT_EQ(engine->started().back(), next) << "the slot freed by the resumed agent is usable again";
    EXPECT_EQ(ledger->doneCount(a), 1);
    EXPECT_EQ(scheduler->completedTotal(), 2);
}

TEST_F(SchedulerTest, UserJobsStartByDeadlineBeforeEarlierBackgroundJobs) {
    make(1);
    auto running = add(Lane::user, 1);
    auto background = add(Lane::background);
    auto d30 = add(Lane::user, 30);
    auto d10 = add(Lane::user, 10);
    auto d20 = add(Lane::user, 20);
    for (auto id : {running, d10, d20, d30}) {
        engine->finish(id);
        settle();
    }
    EXPECT_EQ(engine->started(), (std::vector<uint32_t>{running, d10, d20, d30, background}));
}

TEST_F(SchedulerTest, HeapKeepsAnEarlierArrivalAheadOfAnEqualDeadline) {
    make(0);
    auto first = add(Lane::user, 5);
    auto second = add(Lane::user, 5);
    auto snap = scheduler->snapshot();
    ASSERT_EQ(snap.queuedJobsPreview.size(), 2u);
    EXPECT_EQ(snap.queuedJobsPreview[0].id, first);
    EXPECT_EQ(snap.queuedJobsPreview[1].id, second);
}

TEST_F(SchedulerTest, BackgroundLaneStaysFirstInFirstOutOverThousandsOfJobs) {
    make(1);
    std::vector<uint32_t> ids;
    for (int i = 0; i < 2000; ++i) ids.push_back(add(Lane::background));
    for (size_t i = 0; i + 1 < ids.size(); ++i) {
        if (i == 700) engine->refuseSubmits(1); // the refused job keeps its place
        engine->finish(ids[i]);
        settle();
        if (i == 700) {
            EXPECT_EQ(engine->calls().back().accepted, false);
            scheduler->tick();
        }
    }
    EXPECT_EQ(engine->started(), ids);
}

TEST_F(SchedulerTest, RefusedSubmitPutsTheJobBackFirstInItsLane) {
    for (Lane lane : {Lane::background, Lane::user}) {
        SCOPED_TRACE(lane == Lane::user ? "user" : "background");
        engine = std::make_shared<FakeEngine>();
        make(1);
        engine->refuseSubmits(1);
        auto refused = add(lane, 10);
        EXPECT_TRUE(engine->started().empty());
        EXPECT_EQ(scheduler->freeLaneCount(), 1);
        auto later = add(lane, 10); // its enqueue retries the refused job first
        EXPECT_EQ(engine->started(), (std::vector<uint32_t>{refused}));
        engine->finish(refused);
        settle();
        EXPECT_EQ(engine->started(), (std::vector<uint32_t>{refused, later}));
        TearDown();
    }
}

TEST_F(SchedulerTest, RefusedResumeEndsTheJobOnceAndFreesTheSlot) {
    make(1);
    auto parked = add(Lane::background);
    auto queued = add(Lane::background);
    auto user = add(Lane::user, 10);
    engine->preempt(parked);
    settle();
    engine->refuseResumes(1);
    engine->finish(user);
    settle();

    EXPECT_EQ(ledger->doneCount(parked), 1) << "its submitter must not wait forever";
    EXPECT_EQ(scheduler->failedTotal(), 1);
    EXPECT_EQ(scheduler->pausedCount(), 0);
    EXPECT_EQ(engine->started().back(), queued);

    engine->finish(parked); // an engine that ends the agent after all
    settle();
    EXPECT_EQ(ledger->doneCount(parked), 1);
    EXPECT_EQ(active(), (std::vector<AgentScheduler::ActiveAgent>{{queued, AgentRole::coordinator, Lane::background}}));

    scheduler->resetMultiplexingStats();
    EXPECT_EQ(scheduler->preemptCount(), 0);
    EXPECT_EQ(scheduler->resumeCount(), 0);
    EXPECT_TRUE(scheduler->preemptLatencyNanos().empty());
    EXPECT_EQ(scheduler->completedTotal(), 1);
    EXPECT_EQ(scheduler->failedTotal(), 1);
}

TEST_F(SchedulerTest, PreemptionPastTheParkingLimitEndsTheAgentAndFreesItsSlot) {
    const int64_t slots = AgentScheduler::maxPaused + 1;
    make(slots);
    std::vector<uint32_t> background;
    for (int64_t i = 0; i < slots; ++i) background.push_back(add(Lane::background));
    for (int64_t i = 0; i < slots; ++i) add(Lane::user, 10);
    ASSERT_EQ(engine->paused(), background);
    for (auto id : background) engine->preempt(id);
    settle();

    EXPECT_EQ(scheduler->pausedCount(), AgentScheduler::maxPaused);
    EXPECT_EQ(ledger->doneCount(background.back()), 1);
    EXPECT_EQ(scheduler->failedTotal(), 1);
    EXPECT_EQ(scheduler->pendingCount(), 0) << "every user job got a slot, the last one too";
}

TEST_F(SchedulerTest, RunAgentCollectsTokensFromBeforeAndAfterAPreemption) {
    make(1);
    auto result = std::async(std::launch::async, [&] { return scheduler->runAgent({9, 9}, Lane::background, 0); });
    ASSERT_TRUE(test::waitUntil([&] { return engine->started().size() == 1; }));
    auto agent = engine->started()[0];
    engine->emit(agent, {1, 2});
    auto user = add(Lane::user, 10);
    engine->preempt(agent);
    settle();
    engine->emit(user, {100});
    engine->finish(user);
    settle();
    ASSERT_EQ(engine->resumed(), (std::vector<uint32_t>{agent}));
    engine->emit(agent, {3});
    engine->finish(agent);
    EXPECT_EQ(result.get(), (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(SchedulerTest, AGenerousRelativeDeadlineDoesNotWrapAheadOfUrgentWork) {
    make(1);
    add(Lane::user, 0); // keeps the only slot busy
    auto urgent = add(Lane::user, clock.uptimeNanos() + 1'000);
    auto relaxed = std::async(std::launch::async, [&] {
        return scheduler->runAgent({1}, Lane::user, std::numeric_limits<uint64_t>::max() - 5);
    });
    ASSERT_TRUE(test::waitUntil([&] { return scheduler->pendingCount() == 2; }));
    auto preview = scheduler->snapshot().queuedJobsPreview;
    EXPECT_EQ(preview[0].id, urgent);
    EXPECT_EQ(preview[1].deadlineNanos, std::numeric_limits<uint64_t>::max());

    scheduler.reset(); // ends the queued job, so runAgent returns
    EXPECT_TRUE(relaxed.get().empty());
}

TEST_F(SchedulerTest, SnapshotPreviewsAtMost64QueuedRows) {
    make(0);
    for (int i = 0; i < 100; ++i) add(Lane::user, 1'000 + i);
    for (int i = 0; i < 10; ++i) add(Lane::background);
    EXPECT_TRUE(engine->calls().empty()) << "a scheduler without slots starts nothing";

    auto snap = scheduler->snapshot();
    EXPECT_EQ(snap.queuedJobsPreview.size(), 64u);
    for (const auto& row : snap.queuedJobsPreview) {
        EXPECT_EQ(row.state, JobSummary::State::queuedUser);
        EXPECT_EQ(row.laneIndex, std::nullopt);
    }
    EXPECT_EQ(snap.queuedJobsPreview[0].deadlineNanos, 1'000u);
    EXPECT_EQ(snap.queuedPreviewTruncated, 46);
    EXPECT_EQ(snap.queuedUserCount, 100);
    EXPECT_EQ(snap.queuedBackgroundCount, 10);
    EXPECT_EQ(snap.laneCount, 0);
    EXPECT_EQ(snap.currentQuantumMicros, 500u);
    EXPECT_EQ(snap.takenAtNanos, clock.uptimeNanos());
}

TEST_F(SchedulerTest, SnapshotShowsRunningSlotsAndTheBackgroundQueue) {
    make(2);
    const uint64_t t1 = clock.uptimeNanos();
    auto coder = add(Lane::user, 77, AgentRole::coder);
    clock.advance(10);
    auto tester = add(Lane::background, 88, AgentRole::tester);
    auto queued = add(Lane::background, 99, AgentRole::planner);

    auto snap = scheduler->snapshot();
    ASSERT_EQ(snap.runningJobs.size(), 2u);
    const auto& r0 = snap.runningJobs[0];
    const auto& r1 = snap.runningJobs[1];
    EXPECT_EQ(std::tuple(r0.id, r0.role, r0.lane, r0.state, r0.laneIndex, r0.deadlineNanos, r0.startedAtNanos),
              std::tuple(coder, AgentRole::coder, Lane::user, JobSummary::State::running, std::optional<int64_t>(0),
                         uint64_t(0), t1));
    EXPECT_EQ(std::tuple(r1.id, r1.role, r1.lane, r1.laneIndex, r1.startedAtNanos),
              std::tuple(tester, AgentRole::tester, Lane::background, std::optional<int64_t>(1), t1 + 10));
    ASSERT_EQ(snap.queuedJobsPreview.size(), 1u);
    const auto& q = snap.queuedJobsPreview[0];
    EXPECT_EQ(std::tuple(q.id, q.role, q.lane, q.state, q.deadlineNanos),
              std::tuple(queued, AgentRole::planner, Lane::background, JobSummary::State::queuedBackground,
                         uint64_t(99)));
    EXPECT_EQ(snap.runningCount, 2);
    EXPECT_EQ(snap.queuedPreviewTruncated, 0);
}

TEST_F(SchedulerTest, YieldsOnlyWhileJobsWait) {
    make(1, /*withEngine=*/false);
    scheduler->yieldIfExhausted();
    EXPECT_EQ(yields, 0);
    add(Lane::background);
    scheduler->yieldIfExhausted();
    EXPECT_EQ(yields, 1);
}

TEST_F(SchedulerTest, JobsQueuedBeforeTheEngineStartWhenItArrives) {
    make(2, /*withEngine=*/false);
    auto a = add(Lane::background);
    auto b = add(Lane::user, 5);
    EXPECT_TRUE(engine->calls().empty());
    scheduler->setEngine(engine);
    EXPECT_EQ(engine->started(), (std::vector<uint32_t>{b, a}));
}

TEST_F(SchedulerTest, WorkQueuedFromACompletionIsPlacedOffTheEngineThread) {
    make(2);
    AgentJob first;
    first.agentID = 1;
    first.lane = Lane::background;
    first.onDone = [this] {
        EXPECT_EQ(scheduler->freeLaneCount(), 1) << "the finishing job's slot is released after its onDone";
        AgentJob next;
        next.agentID = 3;
        next.lane = Lane::background;
        scheduler->enqueue(std::move(next));
    };
    scheduler->enqueue(std::move(first));
    engine->finish(1);
    engine->drain();
    EXPECT_EQ(engine->started(), (std::vector<uint32_t>{1})) << "not submitted from the engine's callback";
    executor.runAll();
    EXPECT_EQ(engine->started(), (std::vector<uint32_t>{1, 3}));
}

TEST_F(SchedulerTest, UserJobQueuedFromACompletionPausesAnAgentThatIsNotFinishing) {
    make(2);
    AgentJob finishing;
    finishing.agentID = 100;
    finishing.lane = Lane::background;
    finishing.onDone = [this] {
        AgentJob user;
        user.agentID = 101;
        user.lane = Lane::user;
        scheduler->enqueue(std::move(user));
    };
    scheduler->enqueue(std::move(finishing));
    const uint32_t other = add(Lane::background);
    engine->finish(100);
    engine->drain();
    EXPECT_TRUE(engine->paused().empty()) << "the engine is not asked from inside its own callback";
    executor.runAll();
    EXPECT_EQ(engine->paused(), (std::vector<uint32_t>{other}));
    EXPECT_EQ(engine->started().back(), 101u);
}

TEST_F(SchedulerTest, DestructionEndsQueuedAndParkedJobsAndLateReportsStillEndTheirJob) {
    make(1);
    auto parked = add(Lane::background);
    auto user = add(Lane::user, 10);
    engine->preempt(parked);
    settle();
    auto queued = add(Lane::background);
    ASSERT_EQ(scheduler->pausedCount(), 1);

    scheduler.reset();
    EXPECT_EQ(ledger->doneCount(parked), 1);
    EXPECT_EQ(ledger->doneCount(queued), 1);
    EXPECT_EQ(ledger->doneCount(user), 0);
    engine->finish(user);
    engine->drain();
    EXPECT_EQ(ledger->doneCount(user), 1);
}
