#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "VivirovVizivurad/ChatColumn/FrameGovernor.h"

namespace vivirov::test {
namespace {

TEST(FrameGovernor, NineChangesAFrameThenDeferred) {
    FrameGovernor governor;
    EXPECT_EQ(governor.breathPauseMicroseconds(), 0) << "no requests: no pause";
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(governor.canMutate()) << i;
    EXPECT_FALSE(governor.admitUIUpdate());
    EXPECT_EQ(governor.remaining(), 0);
    EXPECT_EQ(governor.deferredThisFrame(), 1);

    EXPECT_EQ(governor.breathPauseMicroseconds(), 1500);
    EXPECT_EQ(governor.remaining(), 9);
    EXPECT_EQ(governor.deferredThisFrame(), 0);
    EXPECT_EQ(governor.breathPauseMicroseconds(), 0);
}

// Requests from several threads within one frame: exactly nine are
// admitted and every other one is counted as deferred.
TEST(FrameGovernor, ConcurrentRequestsNeverExceedTheBudget) {
    FrameGovernor governor;
    std::atomic<int> admitted{0};
    std::vector<std::thread> views;
    for (int t = 0; t < 4; ++t)
        views.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) admitted += governor.canMutate();
        });
    for (auto& v : views) v.join();
    EXPECT_EQ(admitted.load(), 9);
    EXPECT_EQ(governor.deferredThisFrame(), 4 * 5000 - 9);
}

} // namespace
} // namespace vivirov::test
