#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stop_token>

#include "VivirovVizivurad/CoWork/DispatchManager.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {
namespace {

using Status = Dispatch::Status;

// A runner the test ends: each job waits until the test releases it or its
// stop is requested, then writes its outcome on the GUI thread.
class GatedRunner {
public:
    DispatchManager::Runner bind(DispatchManager& manager) {
        return [this, &manager](const Dispatch& job, std::stop_token stop) {
            EXPECT_EQ(job.status, Status::queued);
            EXPECT_EQ(job.activity, "Queued");
            std::unique_lock lock(mutex_);
            started_.push_back(job.objective);
            const size_t index = started_.size();
            ready_.wait(lock, stop, [&] { return released_ >= index; });
            lock.unlock();
            const bool cancelled = stop.stop_requested();
            QMetaObject::invokeMethod(
                &manager,
                [&manager, id = job.id, cancelled] {
                    manager.update(id, [cancelled](Dispatch& dispatch) {
                        dispatch.status = cancelled ? Status::cancelled : Status::completed;
                        dispatch.activity = cancelled ? "Cancelled" : "Completed";
                        dispatch.fullResponse = "partial answer";
                        dispatch.finishedAt = 1;
                    });
                },
                Qt::BlockingQueuedConnection);
        };
    }
    void release(size_t count = 1) {
        std::lock_guard lock(mutex_);
        released_ += count;
        ready_.notify_all();
    }
    std::vector<std::string> started() {
        std::lock_guard lock(mutex_);
        return started_;
    }

private:
    std::mutex mutex_;
    std::condition_variable_any ready_;
    std::vector<std::string> started_;
    size_t released_ = 0;
};

class DispatchQueue : public ::testing::Test {
protected:
    DispatchQueue() {
        qtApp();
        manager.setRunner(runner.bind(manager));
        manager.setEngineBusy([this] {
            ++busyAsked;
            return busy;
        });
    }
    ~DispatchQueue() override {
        runner.release(1000);
        EXPECT_TRUE(qtWaitUntil([&] { return !manager.workerRunning(); }));
    }

    const Dispatch& byObjective(const std::string& objective) {
        for (const auto& dispatch : manager.dispatches())
            if (dispatch.objective == objective) return dispatch;
        throw std::runtime_error("no dispatch " + objective);
    }
    bool startedAre(std::vector<std::string> expected) {
        return qtWaitUntil([&] { return runner.started() == expected; });
    }

    GatedRunner runner;
    DispatchManager manager;
    bool busy = false;
    int busyAsked = 0;
};

TEST_F(DispatchQueue, EnqueueTrimsTheObjectiveAndIgnoresBlankOnes) {
    for (const char* blank : {"", "   ", "\n\n", " \t\r\n "}) manager.enqueue(blank);
    EXPECT_TRUE(manager.dispatches().empty());
    EXPECT_FALSE(manager.workerRunning());

    busy = true; // keeps the job queued for the look below
    manager.enqueue("first");
    manager.enqueue("  \n build a chart \n ");
    const auto& front = manager.dispatches().front();
    EXPECT_EQ(front.objective, "build a chart");
    EXPECT_EQ(front.status, Status::queued);
    EXPECT_EQ(front.activity, "Queued");
    EXPECT_EQ(front.iterations, 0);
    EXPECT_EQ(front.toolCalls, 0);
    EXPECT_FALSE(front.finishedAt);
    EXPECT_TRUE(manager.workerRunning());
    busy = false;
}

TEST_F(DispatchQueue, RunsOneJobAtATimeOldestFirst) {
    manager.enqueue("a");
    manager.enqueue("b");
    manager.enqueue("c");
    EXPECT_EQ(manager.dispatches().front().objective, "c");
    ASSERT_TRUE(startedAre({"a"}));
    EXPECT_EQ(byObjective("a").status, Status::running);
    EXPECT_EQ(byObjective("a").activity, "Starting");
    EXPECT_EQ(manager.runningID(), byObjective("a").id);

    manager.enqueue("d"); // joins the running worker
    runner.release();
    ASSERT_TRUE(startedAre({"a", "b"}));
    EXPECT_EQ(byObjective("a").status, Status::completed);
    EXPECT_EQ(byObjective("c").status, Status::queued);
    runner.release(3);
    ASSERT_TRUE(startedAre({"a", "b", "c", "d"}));
    ASSERT_TRUE(qtWaitUntil([&] { return !manager.workerRunning(); }));
    EXPECT_TRUE(manager.active().empty());
    std::vector<std::string> history;
    for (const auto& dispatch : manager.history()) history.push_back(dispatch.objective);
    EXPECT_EQ(history, (std::vector<std::string>{"d", "c", "b", "a"}));
}

TEST_F(DispatchQueue, WaitsForTheEngineAndDropsAJobCancelledMeanwhile) {
    busy = true;
    manager.enqueue("a");
    manager.enqueue("b");
    ASSERT_TRUE(qtWaitUntil([&] { return busyAsked >= 3; })); // asked again and again
    EXPECT_TRUE(runner.started().empty());
    EXPECT_EQ(byObjective("a").activity, "Queued");

    manager.cancel(byObjective("a").id);
    EXPECT_EQ(byObjective("a").status, Status::cancelled);
    EXPECT_EQ(byObjective("a").activity, "Cancelled");
    EXPECT_TRUE(byObjective("a").finishedAt);

    busy = false;
    ASSERT_TRUE(startedAre({"b"}));
    EXPECT_EQ(byObjective("a").status, Status::cancelled);
}

TEST_F(DispatchQueue, CancelAllEndsQueuedJobsAtOnceAndAsksTheRunningOneToStop) {
    manager.enqueue("a");
    manager.enqueue("b");
    manager.enqueue("c");
    ASSERT_TRUE(startedAre({"a"}));
    manager.cancelAll();
    EXPECT_EQ(byObjective("b").status, Status::cancelled);
    EXPECT_EQ(byObjective("c").status, Status::cancelled);
    EXPECT_EQ(byObjective("a").status, Status::running); // until its runner returns

    ASSERT_TRUE(qtWaitUntil([&] { return !manager.workerRunning(); }));
    EXPECT_EQ(byObjective("a").status, Status::cancelled);
    EXPECT_TRUE(byObjective("a").hasResult()); // what the loop had produced stays
    EXPECT_EQ(runner.started(), (std::vector<std::string>{"a"}));
}

TEST_F(DispatchQueue, CancellingTheRunningJobOrAnUnknownOrFinishedOneTouchesNothingElse) {
    manager.enqueue("a");
    manager.enqueue("b");
    ASSERT_TRUE(startedAre({"a"}));
    const auto before = manager.dispatches();
    manager.cancel(UUID::random());
    EXPECT_EQ(manager.dispatches(), before);

    manager.cancel(byObjective("a").id);
    EXPECT_EQ(byObjective("a").status, Status::running);
    EXPECT_EQ(byObjective("b").status, Status::queued);
    ASSERT_TRUE(startedAre({"a", "b"}));
    EXPECT_EQ(byObjective("a").status, Status::cancelled);

    runner.release(2);
    ASSERT_TRUE(qtWaitUntil([&] { return !manager.workerRunning(); }));
    const auto finished = byObjective("b");
    manager.cancel(finished.id);
    EXPECT_EQ(byObjective("b"), finished);
}

TEST_F(DispatchQueue, AJobStartedWithoutARunnerFailsAndTheNextOneRuns) {
    manager.setRunner(nullptr);
    manager.enqueue("lost");
    ASSERT_TRUE(qtWaitUntil([&] { return !manager.workerRunning(); }));
    const auto& lost = byObjective("lost");
    EXPECT_EQ(lost.status, Status::failed);
    EXPECT_EQ(lost.activity, "Failed");
    EXPECT_TRUE(lost.finishedAt);
    EXPECT_FALSE(lost.hasResult());

    manager.setRunner(runner.bind(manager));
    manager.enqueue("next");
    ASSERT_TRUE(startedAre({"next"}));
}

TEST(Dispatch, OnlyAResponseOrAnArtifactCountsAsAResult) {
    Dispatch summaryOnly;
    summaryOnly.summary = "Local engine isn't ready";
    EXPECT_FALSE(summaryOnly.hasResult());
    Dispatch artifactOnly;
    artifactOnly.artifact = Artifact{};
    EXPECT_TRUE(artifactOnly.hasResult());
    Dispatch response;
    response.fullResponse = "done";
    EXPECT_TRUE(response.hasResult());
}

} // namespace
} // namespace vivirov::test
