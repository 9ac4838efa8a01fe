// Deferred expert jobs: every job of a submission runs once, on the engine's
// workers, and the wait returns only after the last one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/vm_cabi_v2/expert_deferral_engine.h"

using vm::apex::ExpertDeferralEngine;
using vm::apex::ExpertJob;

TEST(ExpertDeferralEngine, RunsEveryJobOnceAndWaitsForTheLast) {
    ExpertDeferralEngine engine;
    std::vector<int> ran(12, 0);
    std::atomic<int> off_caller{0};
    const auto caller = std::this_thread::get_id();
    for (int round = 1; round <= 3; ++round) {
        std::vector<ExpertJob> jobs;
        for (int e = 0; e < 12; ++e)
            jobs.push_back({0, e, [&, e] {
                                if (e == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                ++ran[size_t(e)];
                                if (std::this_thread::get_id() != caller) ++off_caller;
                            }});
        engine.submit_experts(std::move(jobs));
        EXPECT_EQ(engine.pending(), 12);
        engine.wait();
        EXPECT_EQ(engine.pending(), 0);
        for (int n : ran) EXPECT_EQ(n, round);
    }
    EXPECT_EQ(engine.generation(), 3);
    EXPECT_EQ(engine.completed(), 36u);
    EXPECT_EQ(off_caller.load(), 36);
    engine.submit_experts({});
    engine.wait(); // nothing submitted: returns at once
}
