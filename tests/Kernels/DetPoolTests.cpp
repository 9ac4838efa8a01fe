// The deterministic pool: participant counts, exactly-once hand-off of
// back-to-back jobs, claim-based jobs that give the same bits for any pool
// size, turn-taking callers, nested calls, workers that fail to start or
// arrive late, and holds that keep the workers awake.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/vm_cabi_v2/det_pool.h"

using vm::apex::DetPool;

namespace {

// A claim-based job in the engine's pattern: rows claimed in chunks from a
// shared counter, each row's value computed wholly by its claimant.
std::vector<float> claimRows(DetPool& pool, int rows, int chunk) {
    std::vector<float> out(static_cast<size_t>(rows));
    std::atomic<int> next{0};
    pool.parallel([&](int, int) {
        for (int s; (s = next.fetch_add(chunk, std::memory_order_relaxed)) < rows;) {
            for (int r = s; r < std::min(s + chunk, rows); ++r) {
                float acc = 0.0f;
                for (int k = 1; k <= 200; ++k) acc = std::fma(std::sin(float(r * k)), 1.0f / float(k), acc);
                out[size_t(r)] = acc;
            }
        }
    });
    return out;
}

} // namespace

TEST(DetPool, ParticipantCounts) {
    const struct {
        int hardware, participants;
    } sizes[] = {{1, 1}, {4, 4}, {7, 7}, {8, 8}, {16, 8}, {24, 8}, {0, 8}};
    for (const auto& c : sizes) EXPECT_EQ(vm::apex::det_pool_size(c.hardware), c.participants) << c.hardware;

    for (int k : {1, 0, -3}) {
        DetPool pool(k);
        EXPECT_EQ(pool.participants(), 1);
        int calls = 0;
        const auto caller = std::this_thread::get_id();
        pool.parallel([&](int i, int n) {
            ++calls;
            EXPECT_EQ(i, 0);
            EXPECT_EQ(n, 1);
            EXPECT_EQ(std::this_thread::get_id(), caller);
        });
        EXPECT_EQ(calls, 1);
    }
    EXPECT_EQ(DetPool(3).participants(), 3);
}

TEST(DetPool, BackToBackJobsRunExactlyOncePerParticipant) {
    DetPool pool(4);
    constexpr int kJobs = 10000;
    std::vector<std::atomic<int>> perParticipant(4);
    for (int j = 0; j < kJobs; ++j) {
        std::atomic<int> ran{0};
        std::atomic<int> seenMask{0};
        pool.parallel([&](int i, int n) {
            ASSERT_EQ(n, 4);
            ran.fetch_add(1);
            seenMask.fetch_or(1 << i);
            perParticipant[size_t(i)].fetch_add(1);
        });
        ASSERT_EQ(ran.load(), 4) << "job " << j;
        ASSERT_EQ(seenMask.load(), 0xF) << "job " << j;
    }
    for (auto& c : perParticipant) EXPECT_EQ(c.load(), kJobs);
}

TEST(DetPool, ClaimBasedJobGivesTheSameBitsForAnyPoolSize) {
    DetPool one(1), two(2), eight(8);
    for (int chunk : {1, 7, 64}) {
        const auto a = claimRows(one, 1000, chunk);
        const auto b = claimRows(two, 1000, chunk);
        const auto c = claimRows(eight, 1000, chunk);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * 4), 0) << chunk;
        EXPECT_EQ(std::memcmp(a.data(), c.data(), a.size() * 4), 0) << chunk;
    }
}

TEST(DetPool, CallersOnTwoThreadsTakeTurns) {
    DetPool pool(3);
    std::atomic<int> inside{0}, most{0};
    auto caller = [&] {
        for (int j = 0; j < 2000; ++j) {
            std::atomic<int> ran{0};
            pool.parallel([&](int, int) {
                const int now = inside.fetch_add(1) + 1;
                for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
                }
                ran.fetch_add(1);
                inside.fetch_sub(1);
            });
            ASSERT_EQ(ran.load(), 3);
        }
    };
    std::thread a(caller), b(caller);
    a.join();
    b.join();
    EXPECT_LE(most.load(), 3);
}

TEST(DetPool, NestedCallRunsAloneOnItsThread) {
    DetPool pool(4);
    std::atomic<int> inner{0};
    pool.parallel([&](int, int) {
        const auto self = std::this_thread::get_id();
        pool.parallel([&](int i, int n) {
            EXPECT_EQ(i, 0);
            EXPECT_EQ(n, 1);
            EXPECT_EQ(std::this_thread::get_id(), self);
            inner.fetch_add(1);
        });
    });
    EXPECT_EQ(inner.load(), 4);
}

TEST(DetPool, WorkersThatCannotStartLeaveASmallerPool) {
    int started = 0;
    DetPool pool(8, [&](std::function<void()> fn) {
        if (started == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        ++started;
        return std::thread(std::move(fn));
    });
    EXPECT_EQ(pool.participants(), 3);
    std::atomic<int> ran{0};
    for (int j = 0; j < 100; ++j)
        pool.parallel([&](int i, int n) {
            EXPECT_EQ(n, 3);
            EXPECT_LT(i, 3);
            ran.fetch_add(1);
        });
    EXPECT_EQ(ran.load(), 300);
}

// Workers held back at start (asleep or descheduled, as far as a job can
// tell): the caller runs their shares itself instead of waiting, each once,
// and the held workers join later jobs without running a share twice.
TEST(DetPool, CallerRunsTheSharesOfWorkersThatHaveNotArrived) {
    std::atomic<bool> release{false};
    DetPool pool(4, [&](std::function<void()> fn) {
        return std::thread([&release, fn = std::move(fn)] {
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            fn();
        });
    });
    EXPECT_EQ(pool.participants(), 4);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> seenMask{0}, onCaller{0};
    pool.parallel([&](int i, int n) {
        EXPECT_EQ(n, 4);
        seenMask.fetch_or(1 << i);
        if (std::this_thread::get_id() == caller) onCaller.fetch_add(1);
    });
    EXPECT_EQ(seenMask.load(), 0xF);
    EXPECT_EQ(onCaller.load(), 4);

    release.store(true);
    for (int j = 0; j < 2000; ++j) {
        std::atomic<int> ran{0}, mask{0};
        pool.parallel([&](int i, int) {
            ran.fetch_add(1);
            mask.fetch_or(1 << i);
        });
        ASSERT_EQ(ran.load(), 4) << "job " << j;
        ASSERT_EQ(mask.load(), 0xF) << "job " << j;
    }
    DetPool one(1);
    const auto a = claimRows(pool, 1000, 7);
    const auto b = claimRows(one, 1000, 7);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * 4), 0);
}

// Idle workers go to sleep (an idle process burns no CPU); a hold wakes them
// and keeps them awake for as long as any hold lives.
TEST(DetPool, HoldKeepsWorkersAwakeUntilReleased) {
    DetPool pool(4);
    auto waitFor = [&](int sleepers) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (pool.sleeping() != sleepers && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return pool.sleeping();
    };
    ASSERT_EQ(waitFor(3), 3);
    {
        DetPool::Hold outer(&pool);
        EXPECT_EQ(waitFor(0), 0);
        {
            DetPool::Hold inner(&pool);
        }
        // Far past the spin before sleep, with the outer hold still alive.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(pool.sleeping(), 0);
        std::atomic<int> ran{0};
        pool.parallel([&](int, int) { ran.fetch_add(1); });
        EXPECT_EQ(ran.load(), 4);
    }
    EXPECT_EQ(waitFor(3), 3);
}
