#include <gtest/gtest.h>

#include <QFile>

#include "VivirovVizivurad/App/MemoryFlush.h"
#include "VivirovVizivurad/Appearance/ShaderCache.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "tests/support/QtHarness.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

namespace vivirov {
namespace {

// A pressure source the test fires by hand; counts how often it was made.
struct FakePressure : MemoryPressureSource {
    static inline Handler handler;
    static inline int made = 0;
    bool start(Handler h) override {
        handler = std::move(h);
        return true;
    }
};

class Flush : public ::testing::Test {
protected:
    Flush() {
        test::qtApp();
        FakePressure::handler = {};
        FakePressure::made = 0;
        for (int i = 0; i < 500; ++i) activity.feed(AgentEvent::thinking("x"));
        shaders.insert(QStringLiteral("ring"), "compiled");
    }
    MemoryFlush make() {
        return MemoryFlush(
            [] {
                ++FakePressure::made;
                return std::make_unique<FakePressure>();
            },
            [this] { steps.push_back("web"); }, activity, swarm, shaders);
    }

    AgentActivityModel activity;
    SwarmOrchestrator swarm;
    ShaderCache shaders;
    std::vector<std::string> steps;
};

TEST_F(Flush, DoubleInstallMakesOneSourceAndEachEventFlushesOnceWithItsLine) {
    MemoryFlush flush = make();
    flush.install();
    flush.install();
    EXPECT_EQ(FakePressure::made, 1);

    test::StderrCapture capture;
    FakePressure::handler(false);
    EXPECT_EQ(capture.text(), "[memory-flush] pressure=warning \xE2\x80\x94 caches trimmed\n");
    EXPECT_EQ(steps, std::vector<std::string>{"web"});
    EXPECT_EQ(shaders.size(), 0);
    EXPECT_EQ(activity.history().size(), 50u);
    EXPECT_TRUE(swarm.status().isEmpty()); // a warning leaves the status alone

    FakePressure::handler(true);
    EXPECT_EQ(capture.text(), "[memory-flush] pressure=warning \xE2\x80\x94 caches trimmed\n"
                              "[memory-flush] pressure=critical \xE2\x80\x94 caches trimmed\n");
    EXPECT_EQ(swarm.status(), QStringLiteral("memory pressure \u2014 caches trimmed"));
    EXPECT_EQ(steps.size(), 2u);
}

TEST_F(Flush, TrimKeepsTheNewestFiftyAndLeavesShortHistoriesWhole) {
    AgentActivityModel small;
    for (int i = 0; i < 40; ++i) small.feed(AgentEvent::thinking("x"));
    small.trimHistory(50);
    EXPECT_EQ(small.history().size(), 40u);

    AgentActivityModel big;
    for (int i = 0; i < 500; ++i) {
        big.feed(AgentEvent::thinking(std::to_string(i)));
    }
    big.trimHistory(50);
    ASSERT_EQ(big.history().size(), 50u);
    EXPECT_EQ(big.history().front(), AgentEvent::thinking("450"));
    EXPECT_EQ(big.history().back(), AgentEvent::thinking("499"));
}

TEST(MemoryEvents, CounterRisesMapToLevels) {
    const auto parse = [](const char* text) { return LinuxMemoryPressure::parseEvents(text); };
    const auto base = parse("low 0\nhigh 2\nmax 0\noom 0\noom_kill 0\n");
    EXPECT_EQ(LinuxMemoryPressure::eventLevel(base, parse("low 0\nhigh 3\nmax 0\noom 0\n")), false);
    EXPECT_EQ(LinuxMemoryPressure::eventLevel(base, parse("low 0\nhigh 2\nmax 1\noom 0\n")), true);
    EXPECT_EQ(LinuxMemoryPressure::eventLevel(base, parse("low 0\nhigh 3\nmax 0\noom 1\n")), true);
    EXPECT_EQ(LinuxMemoryPressure::eventLevel(base, parse("low 5\nhigh 2\nmax 0\noom 0\n")), std::nullopt);
    EXPECT_EQ(LinuxMemoryPressure::eventLevel(base, base), std::nullopt);
}

TEST(MemoryEvents, WithoutPressureFilesTheCgroupEventsFileIsWatched) {
    test::qtApp();
    test::TempDir dir;
    const std::string events = dir.write("memory.events", "low 0\nhigh 0\nmax 0\noom 0\n");
    LinuxMemoryPressure source({QString::fromStdString(dir.file("absent-pressure")), QString(),
                                QString::fromStdString(events)});
    std::vector<bool> seen;
    ASSERT_TRUE(source.start([&](bool critical) { seen.push_back(critical); }));
    dir.write("memory.events", "low 0\nhigh 1\nmax 0\noom 0\n");
    ASSERT_TRUE(test::qtWaitUntil([&] { return seen.size() == 1; }));
    dir.write("memory.events", "low 0\nhigh 1\nmax 0\noom 1\n");
    ASSERT_TRUE(test::qtWaitUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));

    LinuxMemoryPressure nothing({QString(), QString(), QString::fromStdString(dir.file("none"))});
    EXPECT_FALSE(nothing.start([](bool) {}));
}

} // namespace
} // namespace vivirov
