// The engine's parallel-for: every index of every job runs exactly once and
// the call returns only after all have run, also with several callers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/vm_cabi/parallel_for.h"

TEST(ParallelFor, RunsEveryIndexExactlyOnceBeforeReturning) {
    auto caller = [](unsigned seed) {
        std::vector<std::atomic<int>> hits(512);
        for (int job = 0; job < 1500; ++job) {
            size_t n = 1 + (seed * 7919u + unsigned(job) * 104729u) % 300;
            for (auto& h : hits) h.store(0);
            vm::parallel_for(n, [&](size_t i) { hits[i].fetch_add(1); });
            for (size_t i = 0; i < hits.size(); ++i)
                if (hits[i].load() != (i < n ? 1 : 0)) return false;
        }
        return true;
    };
    EXPECT_TRUE(caller(1));
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (unsigned t = 0; t < 4; ++t) threads.emplace_back([&, t] { ok += caller(t + 2) ? 1 : 0; });
    for (auto& th : threads) th.join();
    EXPECT_EQ(ok.load(), 4);
    vm::parallel_for(0, [](size_t) { FAIL(); });
}
