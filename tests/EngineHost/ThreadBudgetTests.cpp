#include <gtest/gtest.h>

#include "VivirovVizivurad/EngineHost/ThreadBudget.h"

using vivirov::ThreadBudget;

TEST(ThreadBudget, TheEngineLeavesOneCPUToTheGuiThread) {
    struct Case {
        unsigned cpus, pool, engine;
    };
    const Case cases[] = {{0, 1, 1}, {1, 1, 1}, {2, 2, 1}, {8, 8, 7}};
    for (const auto& c : cases) {
        ThreadBudget b = ThreadBudget::forCPUs(c.cpus);
        EXPECT_EQ(b.workerPool, c.pool) << c.cpus;
        EXPECT_EQ(b.engine, c.engine) << c.cpus;
    }
    EXPECT_GE(ThreadBudget::availableCPUs(), 1u);
}
