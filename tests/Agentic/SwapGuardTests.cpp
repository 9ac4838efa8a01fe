#include <gtest/gtest.h>

#include "VivirovKit/Agentic/SwapGuard.h"
#include "tests/support/TempDir.h"

using namespace vivirov;

TEST(SwapGuard, LevelsAndDecisionsByReading) {
    struct Case {
        std::optional<double> used;
        SwapPressure level;
        bool parallel;
        int perspectivesFor6, perspectivesFor0;
        bool hint;
        const char* status;
    };
    const Case cases[] = {
        {std::nullopt, SwapPressure::ok, true, 4, 0, false, "swap_used_mb=? pressure=ok"},
        {1126.25, SwapPressure::ok, true, 4, 0, false, "swap_used_mb=1126 pressure=ok"},
        {4000.0, SwapPressure::ok, true, 4, 0, false, "swap_used_mb=4000 pressure=ok"},
        {4000.5, SwapPressure::warning, true, 2, 0, true, "swap_used_mb=4000 pressure=warning"},
        {6000.0, SwapPressure::warning, true, 2, 0, true, "swap_used_mb=6000 pressure=warning"},
        {6000.01, SwapPressure::critical, false, 1, 1, true, "swap_used_mb=6000 pressure=critical"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SwapGuard::pressure(c.used), c.level);
        EXPECT_EQ(SwapGuard::allowParallelTools(c.used), c.parallel);
        EXPECT_EQ(SwapGuard::maxPerspectives(6, c.used), c.perspectivesFor6);
        EXPECT_EQ(SwapGuard::maxPerspectives(0, c.used), c.perspectivesFor0);
        EXPECT_EQ(SwapGuard::maxPerspectives(1, c.used), 1);
        EXPECT_EQ(SwapGuard::systemHintIfNeeded(c.used).has_value(), c.hint);
        EXPECT_EQ(SwapGuard::statusLine(c.used), c.status);
    }
    EXPECT_EQ(*SwapGuard::systemHintIfNeeded(7000.0),
              "System memory is critically low (swap >6 GB). Answer briefly. Do not call research_swarm. "
              "Prefer single tools only.");
    EXPECT_EQ(*SwapGuard::systemHintIfNeeded(5000.0),
              "System memory pressure is elevated (swap >4 GB). Prefer concise answers and avoid research_swarm "
              "/ heavy parallel tools.");
}

TEST(SwapGuard, ReadsTheFigureFromEitherSource) {
    EXPECT_EQ(SwapGuard::parseUsedFigure("total = 2048.00M  used = 1126.25M  free = 921.75M  (encrypted)"), 1126.25);
    EXPECT_EQ(SwapGuard::parseUsedFigure("used = 1126.25G"), std::nullopt);
    EXPECT_EQ(SwapGuard::parseUsedFigure("used = 1.2.3M"), std::nullopt);

    test::TempDir dir;
    auto meminfo = dir.write("meminfo", "MemTotal: 16000000 kB\nSwapTotal:  8388608 kB\nSwapFree:   2097152 kB\n");
    EXPECT_EQ(SwapGuard::usedMB(meminfo), 6144.0);
    EXPECT_EQ(SwapGuard::usedMB(dir.write("none", "SwapTotal: 0 kB\nSwapFree: 0 kB\n")), 0.0);
    EXPECT_EQ(SwapGuard::usedMB(dir.write("garbage", "nothing here")), std::nullopt);
    EXPECT_EQ(SwapGuard::usedMB(dir.file("missing")), std::nullopt);
    EXPECT_EQ(swapPressureFromRaw("warning"), SwapPressure::warning);
    EXPECT_EQ(swapPressureFromRaw("Warning"), std::nullopt);
}
