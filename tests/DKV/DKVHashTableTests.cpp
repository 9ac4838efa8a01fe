// The dense decode's key/value cache: geometry, the key and position rules,
// probe runs that survive removal, eviction by the clock sweep, and a
// concurrent stress whose entry count must stay exact.
#include "engine/vm_v2/dkv_hash_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using vivirov::DKVHashTable;

namespace {

constexpr uint64_t kMiB = 1u << 20;

std::vector<float> row(uint32_t seed, size_t n = 8) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = float(seed) + 0.25f * float(i);
    return v;
}

uint16_t bytes(const std::vector<float>& v) { return uint16_t(v.size() * sizeof(float)); }

// Two different keys whose probe windows start at the same bucket.
std::pair<uint32_t, uint32_t> colliding_b(uint32_t a, uint64_t mask) {
    const uint64_t home = DKVHashTable::home_bucket(a, 1, mask);
    for (uint32_t b = 2;; ++b)
        if (DKVHashTable::home_bucket(a, b, mask) == home) return {1, b};
}

} // namespace

TEST(DKVHashTable, GeometryFollowsHintAndPool) {
    struct Case {
        uint64_t hint, pool;
        uint16_t value;
        uint64_t capacity;
        uint32_t slots;
    } cases[] = {
        {1000, 1 * kMiB, 1024, 1024, 1024},
        {1u << 24, 16 * kMiB, 1024, 1u << 24, 16384},
        {0, 4096, 100, 1, 40},
        {5, 4096, 0, 8, 0},
    };
    for (const Case& c : cases) {
        DKVHashTable t(c.hint, c.pool, c.value);
        EXPECT_EQ(t.capacity(), c.capacity) << c.hint;
        EXPECT_EQ(t.n_slots(), c.slots) << c.hint;
    }
    DKVHashTable none(64, 4096, 0);
    std::vector<float> v;
    EXPECT_EQ(none.insert(1, 2, 3, v.data(), 0), 0) << "no slots: nothing is ever stored";
}

TEST(DKVHashTable, KeyAndPositionRules) {
    DKVHashTable t(1024, 1 * kMiB, 1024);
    const auto v100 = row(100), v120 = row(120), v140 = row(140);
    ASSERT_EQ(t.insert(7, 9, 100, v100.data(), bytes(v100)), 1);
    EXPECT_EQ(t.insert(7, 9, 120, v120.data(), bytes(v120)), 0) << "within 32 positions of a stored entry";
    EXPECT_EQ(t.insert(7, 9, 140, v140.data(), bytes(v140)), 1);
    EXPECT_EQ(t.live(), 2u);

    const float* at110 = t.lookup(7, 9, 110);
    ASSERT_NE(at110, nullptr);
    EXPECT_EQ(at110[0], v100[0]) << "the entry at 100 stays unchanged";
    EXPECT_EQ(at110[7], v100[7]);
    EXPECT_EQ(t.lookup(7, 8, 100), nullptr);
    EXPECT_EQ(t.lookup(8, 9, 100), nullptr);

    std::vector<float> big(512);
    EXPECT_EQ(t.insert(1, 1, 0, big.data(), 2048), 0) << "larger than a value slot";
    EXPECT_EQ(t.lookup(1, 1, 0), nullptr);

    EXPECT_EQ(t.remove(3, 3, 3), 0);
    EXPECT_EQ(t.remove(7, 9, 100), 1);
    EXPECT_EQ(t.remove(7, 9, 100), 0);
    EXPECT_EQ(t.lookup(7, 9, 100), nullptr);
    EXPECT_NE(t.lookup(7, 9, 140), nullptr);
    EXPECT_EQ(t.live(), 1u);
}

TEST(DKVHashTable, RemovalKeepsTheRestOfTheProbeRunFindable) {
    DKVHashTable t(16, 64 * 1024, 64);
    auto [b1, b2] = colliding_b(5, t.capacity() - 1);
    const auto first = row(1), second = row(2), third = row(3);
    ASSERT_EQ(t.insert(5, b1, 0, first.data(), bytes(first)), 1);
    ASSERT_EQ(t.insert(5, b2, 0, second.data(), bytes(second)), 1);

    ASSERT_EQ(t.remove(5, b1, 0), 1);
    const float* found = t.lookup(5, b2, 0);
    ASSERT_NE(found, nullptr) << "an entry behind a removed one in the same run";
    EXPECT_EQ(found[0], second[0]);
    EXPECT_EQ(t.insert(5, b2, 0, third.data(), bytes(third)), 0) << "no second copy in the freed bucket";

    // A retired sequence's rows are gone even when they sat behind another.
    EXPECT_EQ(t.remove(5, b2, 0), 1);
    EXPECT_EQ(t.lookup(5, b2, 0), nullptr);
    EXPECT_EQ(t.live(), 0u);
    // Freed buckets and slots are used again.
    EXPECT_EQ(t.insert(5, b2, 0, third.data(), bytes(third)), 1);
    EXPECT_EQ(t.lookup(5, b2, 0)[0], third[0]);
}

TEST(DKVHashTable, ExhaustedPoolSweepsUnreadEntries) {
    DKVHashTable t(1u << 16, 16 * kMiB, 1024);
    ASSERT_EQ(t.n_slots(), 16384u);
    const auto v = row(42, 256);
    std::vector<uint32_t> stored;
    for (uint32_t k = 0; stored.size() < t.n_slots(); ++k)
        if (t.insert(k, 1, 0, v.data(), 1024)) stored.push_back(k);
    EXPECT_EQ(t.live(), 16384u);
    EXPECT_EQ(t.evictions(), 0u);

    std::vector<uint32_t> read;
    for (size_t i = 0; i < stored.size(); i += 3) {
        ASSERT_NE(t.lookup(stored[i], 1, 0), nullptr);
        read.push_back(stored[i]);
    }
    ASSERT_EQ(t.insert(0xFFFF0000u, 1, 0, v.data(), 1024), 1) << "the sweep frees a slot for it";
    EXPECT_GT(t.evictions(), 0u);
    EXPECT_LE(t.evictions(), t.capacity() / 10);
    EXPECT_EQ(t.live(), 16384u + 1 - t.evictions());
    for (uint32_t k : read) EXPECT_NE(t.lookup(k, 1, 0), nullptr) << "read since the last sweep: " << k;
}

TEST(DKVHashTable, HighLoadSweepsBeforeInserting) {
    DKVHashTable t(64, 1 * kMiB, 16);
    const auto v = row(1, 4);
    uint32_t k = 0;
    while (t.live() * 100 / t.capacity() < 90) t.insert(k++, 7, 0, v.data(), 16);
    const uint64_t before = t.live();
    t.insert(k++, 7, 0, v.data(), 16);
    EXPECT_GT(t.evictions(), 0u);
    EXPECT_LT(t.live(), before + 1);
}

// Threads insert, look up and remove their own rows (checking contents) and
// race on a shared key set; a small pool makes sweeps run under the traffic.
// Afterwards every stored entry is removed exactly once, and the whole pool
// can be filled again (no slot was lost or handed out twice).
TEST(DKVHashTable, ConcurrentTrafficKeepsCountsExact) {
    // 16,000 slots never run out (at most 12,064 rows live); 1,024 do.
    for (uint64_t pool : {uint64_t(16000 * 64), uint64_t(1024 * 64)}) {
        const bool sweeps = pool < 16000 * 64;
        DKVHashTable t(1u << 15, pool, 64);
        constexpr int kThreads = 4, kRounds = 3000, kShared = 64;
        std::atomic<int64_t> inserted{0}, removed{0};
        std::atomic<int> bad{0};
        std::vector<std::thread> threads;
        for (int id = 0; id < kThreads; ++id) {
            threads.emplace_back([&, id] {
                std::vector<float> mine(16);
                for (int r = 0; r < kRounds; ++r) {
                    const uint32_t a = uint32_t(id) << 24 | uint32_t(r);
                    for (size_t i = 0; i < mine.size(); ++i) mine[i] = float(a) + float(i);
                    if (t.insert(a, 3, 0, mine.data(), 64)) inserted++;
                    if (!sweeps) {
                        const float* got = t.lookup(a, 3, 0);
                        if (!got || got[0] != float(a) || got[15] != float(a) + 15) bad++;
                    }
                    if (r % 2) removed += t.remove(a, 3, 0);
                    const uint32_t s = uint32_t(r * 7 + id) % kShared;
                    if (t.insert(0xABC00000u | s, 5, 0, mine.data(), 64)) inserted++;
                    (void)t.lookup(0xABC00000u | s, 5, 0);
                    if (r % 3 == 0) removed += t.remove(0xABC00000u | ((s + 1) % kShared), 5, 0);
                }
            });
        }
        for (auto& th : threads) th.join();
        EXPECT_EQ(bad.load(), 0);
        EXPECT_EQ(uint64_t(inserted - removed), t.live() + t.evictions());
        EXPECT_EQ(sweeps, t.evictions() > 0);

        uint64_t left = 0;
        for (int id = 0; id < kThreads; ++id)
            for (int r = 0; r < kRounds; ++r) left += uint64_t(t.remove(uint32_t(id) << 24 | uint32_t(r), 3, 0));
        for (uint32_t s = 0; s < kShared; ++s) left += uint64_t(t.remove(0xABC00000u | s, 5, 0));
        EXPECT_EQ(left + t.evictions(), uint64_t(inserted - removed));
        EXPECT_EQ(t.live(), 0u);

        const auto v = row(9, 16);
        uint64_t refilled = 0;
        for (uint32_t k = 0; k < 4 * t.n_slots() && refilled < t.n_slots(); ++k)
            refilled += uint64_t(t.insert(0x50000000u + k, 11, 0, v.data(), 64));
        EXPECT_EQ(refilled, t.n_slots()) << "every slot is usable once more";
    }
}
