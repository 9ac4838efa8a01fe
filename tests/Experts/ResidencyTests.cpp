// The active-set tracker and the hot-expert bias: eviction by count and by
// bytes, cross-layer loss of hotness, the latest-mark eviction order, the
// residency boost, and a mark order that stays bounded.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/vm_cabi_v2/active_set_tracker.h"
#include "engine/vm_cabi_v2/evs_settings.h"

using vm::apex::ActiveSetTracker;
using vm::apex::ResidencyBias;

TEST(ActiveSetTracker, CountLimitEvictsTheLeastRecentlyRoutedPairAndItsHotId) {
    ActiveSetTracker t;
    for (int e = 0; e < 64; ++e) EXPECT_FALSE(t.on_routed(0, e, 1000));
    EXPECT_TRUE(t.on_routed(0, 0, 1000)); // refresh (0, 0): (0, 1) is now the oldest
    EXPECT_FALSE(t.on_routed(1, 100, 1000));
    EXPECT_EQ(t.size(), 64u);
    EXPECT_FALSE(t.contains(0, 1));
    EXPECT_FALSE(t.bias.is_hot(1));
    EXPECT_TRUE(t.contains(0, 0));
    EXPECT_EQ(t.tracked_bytes(), 64u * 1000u);
}

TEST(ActiveSetTracker, EvictionDropsTheHotIdThatAnotherLayerHoldsButTheBoostStillApplies) {
    ActiveSetTracker t;
    t.max_entries = 3;
    t.on_routed(0, 5, 10);
    t.on_routed(1, 5, 10);
    t.on_routed(0, 6, 10);
    t.on_routed(0, 7, 10); // evicts (0, 5) and with it hot id 5
    EXPECT_FALSE(t.bias.is_hot(5));
    EXPECT_TRUE(t.contains(1, 5));
    std::vector<float> sel(8, 0.0f);
    t.apply_boost(sel.data(), 8);
    EXPECT_FLOAT_EQ(sel[5], t.boost()); // resident in layer 1
    EXPECT_FLOAT_EQ(sel[6], t.boost()); // hot
    EXPECT_EQ(sel[0], 0.0f);
}

TEST(ActiveSetTracker, HitKeepsStoredBytesAndOversizedReportIsAdmittedAlone) {
    ActiveSetTracker t;
    t.on_routed(3, 7, 10695475);
    EXPECT_TRUE(t.on_routed(3, 7, 20971520));
    EXPECT_EQ(t.bytes_of(3, 7), 10695475u);

    t.on_routed(3, 8, 1000);
    t.on_routed(4, 1, t.byte_budget + 1);
    EXPECT_EQ(t.size(), 1u);
    EXPECT_EQ(t.tracked_bytes(), t.byte_budget + 1);
}

TEST(ActiveSetTracker, BoostIsTheLogOfAlphaWithAFloor) {
    ActiveSetTracker t;
    EXPECT_NEAR(t.boost(), 0.0769611f, 1e-7f);
    t.boost_alpha = 0.5f;
    EXPECT_FLOAT_EQ(t.boost(), std::log(1.0001f));
}

TEST(ResidencyBias, TheIdWhoseLatestMarkIsOldestLeavesFirst) {
    ResidencyBias b;
    b.set_capacity(2);
    for (int id : {1, 2, 1, 3}) b.mark_hot(id);
    EXPECT_TRUE(b.is_hot(1));
    EXPECT_FALSE(b.is_hot(2));
    EXPECT_TRUE(b.is_hot(3));

    std::vector<float> s{1, 1, 1, 1};
    b.apply(s.data(), 4, 1.05f);
    EXPECT_EQ(s, (std::vector<float>{1, 1.05f, 1, 1.05f}));
}

TEST(ResidencyBias, MarkOrderStaysBoundedWhenOneExpertIsRoutedForever) {
    ActiveSetTracker t;
    for (int i = 0; i < 100000; ++i) t.on_routed(i % 4, 3, 100);
    EXPECT_LE(t.bias.mark_order_size(), 1u);
    EXPECT_TRUE(t.bias.is_hot(3));
}

TEST(EvsSettings, StartAtTheCreationValues) {
    EXPECT_EQ(vm::apex::g_evs_mode(), 1);
    EXPECT_EQ(vm::apex::g_evs_lambda(), 1.0f);
    EXPECT_EQ(vm::apex::g_evs_rho(), 3.0f);
    EXPECT_EQ(vm::apex::g_evs_alpha_fixed(), 1.0f);
}
