// The om2 registry on packs written by the test: LRU eviction within the
// budget, a pack kept alive while used after eviction, the request ring's
// drop of a full ring, one load for many concurrent callers, directory
// resolution, binding lines and prewarm.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "engine/vm_cabi_v2/om2_binding.h"
#include "engine/vm_cabi_v2/om2_registry.h"
#include "tests/support/Om2Writer.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

namespace vm::apex {
// Queues requests without a running prefetcher.
struct Om2RegistryProbe {
    static bool enqueue(Om2Registry& r, int layer, int expert, char proj) { return r.enqueue_one_(layer, expert, proj); }
    // Finishes a queued request as the prefetcher would: the pack goes in,
    // then the key leaves the in-flight set.
    static void complete(Om2Registry& r, int layer, int expert, char proj) {
        Om2Pack pack;
        ASSERT_TRUE(load_om2_file(r.resolve_path_(layer, expert, proj), pack));
        {
            std::lock_guard lock(r.mu_);
            r.insert_locked_(om2_pack_key(layer, expert, proj), std::move(pack));
        }
        r.complete_inflight_(om2_pack_key(layer, expert, proj), true);
    }
};
} // namespace vm::apex

using namespace vm::apex;
using vivirov::test::Om2Writer;
using vivirov::test::om2FileName;
using vivirov::test::StderrCapture;
using vivirov::test::TempDir;

namespace {

// Writes up/gate/down packs of `experts` experts in `layers` layers.
void writePacks(const TempDir& dir, int layers, int experts, uint32_t rows = 8, uint32_t cols = 8) {
    for (int l = 0; l < layers; ++l)
        for (int e = 0; e < experts; ++e)
            for (const char* p : {"up", "gate", "down"}) {
                Om2Writer w = Om2Writer::random(rows, cols, 2, 0, uint32_t(l * 100 + e));
                w.layer = l;
                w.expert = e;
                w.write(dir.file(om2FileName(p, l, e)));
            }
}

// Sets or unsets an environment variable for one scope.
struct EnvScope {
    std::string name;
    std::string old;
    bool had;
    EnvScope(const char* n, const char* value) : name(n), had(std::getenv(n) != nullptr) {
        if (had) old = std::getenv(n);
        value ? setenv(n, value, 1) : unsetenv(n);
    }
    ~EnvScope() { had ? setenv(name.c_str(), old.c_str(), 1) : unsetenv(name.c_str()); }
};

} // namespace

TEST(Om2Registry, EvictsLeastRecentlyUsedWithinTheBudgetAndKeepsAUsedPackAlive) {
    TempDir dir;
    writePacks(dir, 1, 4);
    Om2Registry reg;
    ASSERT_TRUE(reg.load_dir(dir.path() + "///"));
    EXPECT_EQ(reg.dir(), dir.path());
    auto first = reg.get_or_load(0, 0, 'u');
    ASSERT_TRUE(first);
    const uint64_t one = first->bytes();
    reg.set_budget(3 * one);
    const std::vector<float> kept = first->U;
    reg.get_or_load(0, 1, 'u');
    reg.get_or_load(0, 2, 'u');
    EXPECT_EQ(reg.get_or_load(0, 0, 'U'), first); // a hit refreshes (0, 0)
    reg.get_or_load(0, 3, 'u');                  // evicts (0, 1), the least recently used
    EXPECT_TRUE(reg.is_resident(0, 0, 'u'));
    EXPECT_FALSE(reg.is_resident(0, 1, 'u'));
    EXPECT_EQ(reg.resident_bytes(), 3 * one);

    reg.set_budget(one / 2); // the next pack alone exceeds the budget
    reg.get_or_load(0, 2, 'g');
    EXPECT_EQ(reg.resident_count(), 1u);
    EXPECT_GT(reg.resident_bytes(), reg.budget());
    EXPECT_FALSE(reg.is_resident(0, 0, 'u'));
    EXPECT_EQ(first->U, kept); // evicted, still alive for its user

    EXPECT_EQ(reg.get_or_load(0, 9, 'u'), nullptr); // no such file
    EXPECT_FALSE(reg.is_inflight(om2_pack_key(0, 9, 'u')));
    EXPECT_EQ(reg.stats().fails, 1u);
}

TEST(Om2Registry, FindsFallbackNamesAndAnyOtherLetterMeansUp) {
    TempDir dir;
    Om2Writer::random(4, 4, 1, 0, 1).write(dir.file("L2_e5_down.om2"));
    Om2Writer::random(4, 4, 1, 0, 2).write(dir.file("up_L02_E005.om2"));
    Om2Registry reg;
    reg.load_dir(dir.path());
    EXPECT_EQ(reg.resolve_path_(2, 5, 'D'), dir.file("L2_e5_down.om2"));
    EXPECT_EQ(reg.resolve_path_(2, 5, 'x'), dir.file("up_L02_E005.om2"));
    EXPECT_EQ(reg.resolve_path_(2, 5, 'g'), "");
}

TEST(Om2Registry, FullRingDropsTheRequestAndReleasesItsMark) {
    Om2Registry reg;
    EXPECT_FALSE(reg.prefetch_async(3, 5, 'u')); // nothing bound
    EXPECT_FALSE(reg.prefetch_async(-1, 5, 'u'));
    for (int i = 0; i < 1024; ++i) ASSERT_TRUE(Om2RegistryProbe::enqueue(reg, 1, i, 'u'));
    EXPECT_FALSE(Om2RegistryProbe::enqueue(reg, 1, 5, 'u')); // in flight: refused, not a drop
    EXPECT_EQ(reg.stats().drop, 0u);
    EXPECT_FALSE(Om2RegistryProbe::enqueue(reg, 2, 0, 'u'));
    EXPECT_EQ(reg.stats().drop, 1u);
    EXPECT_EQ(reg.stats().push, 1024u);
    EXPECT_FALSE(reg.is_inflight(om2_pack_key(2, 0, 'u')));
}

TEST(Om2Registry, PrefetcherLoadsQueuedPacksAndEnsureResidentCounts) {
    TempDir dir;
    writePacks(dir, 2, 2);
    Om2Registry reg;
    reg.load_dir(dir.path());
    EXPECT_TRUE(reg.prefetch_async(1, 1, 0)); // up, gate and down
    for (char p : {'u', 'g', 'd'}) EXPECT_TRUE(reg.ensure_resident(1, 1, p, 5000));
    const auto s = reg.stats();
    EXPECT_EQ(s.push, 3u);
    EXPECT_EQ(s.async_hit + s.wait_ok + s.sync_fb, 3u);
    EXPECT_TRUE(reg.ensure_resident(0, 0, 'u', 50)); // neither resident nor queued
    EXPECT_EQ(reg.stats().sync_fb, s.sync_fb + 1);
    reg.stop_prefetcher();
    EXPECT_EQ(reg.stats().completed + reg.stats().drop, 3u);
    const std::string line = reg.prefetch_stats_string();
    EXPECT_EQ(line.rfind("om2_prefetch push=", 0), 0u);
    EXPECT_NE(line.find(" wait_ms="), std::string::npos);
}

TEST(Om2Registry, CountersFollowEachWayAPackIsHadAndTheStatsLineShowsThem) {
    TempDir dir;
    writePacks(dir, 1, 3);
    Om2Registry reg;
    EXPECT_FALSE(reg.load_dir("///"));
    EXPECT_EQ(reg.dir(), "");
    ASSERT_TRUE(reg.load_dir(dir.path() + "///"));
    EXPECT_EQ(reg.dir(), dir.path());
    using S = Om2Registry::Stats;
    auto delta = [&](S a, S b) {
        return std::vector<uint64_t>{b.async_hit - a.async_hit, b.wait_ok - a.wait_ok, b.sync_fb - a.sync_fb,
                                     b.hits - a.hits, b.loads - a.loads, b.fails - a.fails};
    };
    //                                async wait sync hits loads fails
    S before = reg.stats();
    EXPECT_TRUE(reg.ensure_resident(0, 0, 'U', 50)); // absent, not in flight: loads itself
    EXPECT_EQ(delta(before, reg.stats()), (std::vector<uint64_t>{0, 0, 1, 1, 1, 0}));
    before = reg.stats();
    EXPECT_TRUE(reg.ensure_resident(0, 0, 'u', 50)); // resident ('U' and 'u' are one key)
    const auto p = reg.get_or_load(0, 0, 'u');
    EXPECT_EQ(reg.get_or_load(0, 0, 'u'), p);
    EXPECT_EQ(delta(before, reg.stats()), (std::vector<uint64_t>{1, 0, 0, 2, 0, 0}));
    before = reg.stats();
    EXPECT_FALSE(reg.get_or_load(0, 7, 'u')); // no file
    EXPECT_FALSE(reg.ensure_resident(0, 7, 'u', 50));
    EXPECT_EQ(delta(before, reg.stats()), (std::vector<uint64_t>{0, 0, 1, 0, 0, 2}));
    EXPECT_FALSE(reg.is_inflight(om2_pack_key(0, 7, 'u')));

    // A queued request that finishes while the caller waits.
    ASSERT_TRUE(Om2RegistryProbe::enqueue(reg, 0, 1, 'g'));
    before = reg.stats();
    std::thread finisher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Om2RegistryProbe::complete(reg, 0, 1, 'g');
    });
    EXPECT_TRUE(reg.ensure_resident(0, 1, 'g', 60000));
    finisher.join();
    const S after = reg.stats();
    EXPECT_EQ(delta(before, after), (std::vector<uint64_t>{0, 1, 0, 0, 0, 0}));
    EXPECT_GE(after.wait_ns - before.wait_ns, 20000000u);

    char want[512];
    std::snprintf(want, sizeof want,
                  "om2_prefetch push=1 async_hit=1 wait_ok=1 sync_fb=2 drop=0 wait_ms=%.3f completed=0",
                  double(after.wait_ns) / 1000000.0);
    EXPECT_EQ(reg.prefetch_stats_string(), want);
}

TEST(Om2Registry, ConcurrentCallersOfOneKeyLoadItOnce) {
    TempDir dir;
    Om2Writer::random(256, 256, 64, 0, 3).write(dir.file(om2FileName("up", 0, 0)));
    Om2Registry reg;
    reg.load_dir(dir.path());
    std::vector<std::shared_ptr<const Om2Pack>> got(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < got.size(); ++i) threads.emplace_back([&, i] { got[i] = reg.get_or_load(0, 0, 'u'); });
    for (auto& t : threads) t.join();
    for (const auto& p : got) EXPECT_EQ(p, got[0]);
    EXPECT_TRUE(got[0]);
    EXPECT_EQ(reg.stats().loads, 1u);
}

TEST(Om2Binding, ResolvesTheDirectoryFromEnvironmentAndHome) {
    TempDir home;
    EnvScope noDir("VEZEV_OM2_DIR", nullptr);
    {
        EnvScope h("HOME", home.path().c_str());
        const std::string a = home.path() + "/models/DeepSeek-V4-VezevV2-derov/experts";
        const std::string b = home.path() + "/models/DeepSeek-V4-Core/om2";
        EXPECT_EQ(resolve_om2_dir(), b);
        std::filesystem::create_directories(a);
        EXPECT_EQ(resolve_om2_dir(), a); // A exists, neither holds packs
        std::filesystem::create_directories(b);
        home.write("models/DeepSeek-V4-Core/om2/up_L00_E000.om2", "x");
        EXPECT_EQ(resolve_om2_dir(), b); // B holds the probe file
        home.write("models/DeepSeek-V4-Core/om2/L0_e0_up.om2", "x");
        home.write("models/DeepSeek-V4-VezevV2-derov/experts/L0_e0_up.om2", "x");
        EXPECT_EQ(resolve_om2_dir(), b); // fall-back names are not probed
        EnvScope empty("VEZEV_OM2_DIR", "");
        EXPECT_EQ(resolve_om2_dir(), b);
        EnvScope set("VEZEV_OM2_DIR", "/some/where/");
        EXPECT_EQ(resolve_om2_dir(), "/some/where/");
    }
    EnvScope noHome("HOME", nullptr);
    EXPECT_EQ(resolve_om2_dir(), "/models/DeepSeek-V4-Core/om2");
}

TEST(Om2Binding, BindPrintsItsLinesAndPrewarmLoadsEveryLayer) {
    TempDir dir;
    writePacks(dir, 3, 1);
    Om2Registry reg;
    ActiveSetTracker tracker;
    Om2Switches sw;
    EnvScope quality("VIVIROV_OM2_QUALITY", nullptr);
    EXPECT_EQ(prewarm_om2_expert(reg, tracker, sw, 3, 0), 0);
    EXPECT_EQ(bind_om2_dir(reg, tracker, sw, "///", 0), 0);
    EXPECT_FALSE(sw.om2_bound);
    std::string text;
    {
        StderrCapture err;
        EXPECT_EQ(bind_om2_dir(reg, tracker, sw, dir.path() + "///", 0), 1);
        EXPECT_EQ(prewarm_om2_expert(reg, tracker, sw, 3, 0), 9);
        EXPECT_EQ(prewarm_om2_expert(reg, tracker, sw, 3, -1), 0);
        text = err.text();
    }
    EXPECT_NE(text.find("[PHASE17] om2 LAZY dir bound path=" + dir.path() +
                        "/// budget=1536.0 MiB (get_or_load faults packs from NVMe; residual=OFF prefer_only=ON)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[PHASE4] om2 prefetcher daemon started ring_cap=1024\n"), std::string::npos);
    EXPECT_NE(text.find("[PHASE17] prewarm expert=0 packs_loaded=9 resident="), std::string::npos);
    EXPECT_EQ(tracker.max_entries, 256);
    EXPECT_EQ(tracker.bias.capacity(), 256);
    EXPECT_EQ(tracker.byte_budget, Om2Registry::kDefaultBudget);
    EXPECT_EQ(tracker.bytes_of(2, 0), 11010048u);

    EnvScope q("VIVIROV_OM2_QUALITY", "1");
    bind_om2_dir(reg, tracker, sw, dir.path(), 4294967296UL);
    EXPECT_TRUE(sw.om2_residual);
    EXPECT_FALSE(sw.om2_prefer_only);
    EXPECT_EQ(reg.budget(), 4294967296ULL);
}
