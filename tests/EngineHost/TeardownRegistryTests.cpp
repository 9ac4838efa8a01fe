#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "VivirovVizivurad/EngineHost/EngineTeardownRegistry.h"

using vivirov::EngineTeardownRegistry;

TEST(EngineTeardownRegistry, RunsEachHookOnceInOrderOnTheCallingThread) {
    EngineTeardownRegistry registry;
    std::vector<std::string> ran;
    std::vector<std::thread::id> threads;
    auto hook = [&](std::string name) {
        return [&, name] {
            ran.push_back(name);
            threads.push_back(std::this_thread::get_id());
        };
    };
    registry.registerHook(hook("A"));
    registry.registerHook([&] {
        ran.push_back("B");
        registry.registerHook(hook("D")); // registered during the run: never runs
        registry.shutdownAll();           // returns at once
    });
    registry.registerHook(hook("C"));
    registry.shutdownAll();
    EXPECT_EQ(ran, (std::vector<std::string>{"A", "B", "C"}));
    for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());

    registry.registerHook(hook("E"));
    registry.shutdownAll();
    EXPECT_EQ(ran.size(), 3u);
}

TEST(EngineTeardownRegistry, AnEmptyRunStillClosesTheRegistry) {
    EngineTeardownRegistry registry;
    registry.shutdownAll();
    bool ran = false;
    registry.registerHook([&] { ran = true; });
    registry.shutdownAll();
    EXPECT_FALSE(ran);
}

TEST(EngineTeardownRegistry, HooksFromManyThreadsAreAllKept) {
    EngineTeardownRegistry registry;
    std::atomic<int> count{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) registry.registerHook([&] { ++count; });
        });
    for (auto& t : threads) t.join();
    registry.shutdownAll();
    EXPECT_EQ(count.load(), 400);
}
