#include <gtest/gtest.h>

#include <memory>

#include "VivirovKit/Fleet/LocalServerPorts.h"
#include "VivirovKit/Fleet/ModelLifecycleManager.h"
#include "VivirovKit/Fleet/PortListeners.h"
#include "tests/Fleet/FakeServerProcess.h"

namespace vivirov {
namespace {

using test::FakeServerProcess;

constexpr uint64_t kSecond = 1'000'000'000;
const int kUsualPorts[] = {8080, 8081, 8082, 8090, 8095, 8100};

// Every slot's port points at a port of this test's own, so no real server
// is probed or signalled.
class ManagerTest : public ::testing::Test {
protected:
    ManagerTest() : redirect_(ownPorts()), manager_(&clock_, [this] { return swapReading_; }) {}

    static std::map<int, int> ownPorts() {
        std::map<int, int> ports;
        for (int usual : kUsualPorts) ports[usual] = test::freeLoopbackPort();
        return ports;
    }
    std::unique_ptr<FakeServerProcess> serve(int usualPort, FakeServerProcess::Options options = {}) {
        return std::make_unique<FakeServerProcess>(LocalServerPorts::resolve(usualPort), std::move(options));
    }
    std::string lineFor(const std::string& name) {
        for (const std::string& line : manager_.statusLines())
            if (line.rfind(name + ":", 0) == 0) return line;
        return {};
    }

    LocalServerPorts::ScopedOverride redirect_;
    FakeClock clock_;
    std::optional<double> swapReading_;
    ModelLifecycleManager manager_;
};

TEST_F(ManagerTest, NewManagerReportsEveryServerDownInPortOrder) {
    clock_.advance(42 * kSecond + 700'000'000);
    EXPECT_EQ(manager_.statusLines(), (std::vector<std::string>{
                                          "rizeru:8080 DOWN core=true idle_s=42",
                                          "vision:8081 DOWN core=false idle_s=42",
                                          "whisper:8082 DOWN core=false idle_s=42",
                                          "bridge:8090 DOWN core=true idle_s=42",
                                          "rozazu:8095 DOWN core=false idle_s=42",
                                          "micro:8100 DOWN core=false idle_s=42",
                                      }));
    // Nothing counts as running until a probe or a touch says so.
    clock_.advance(300 * kSecond);
    swapReading_ = 9000;
    EXPECT_TRUE(manager_.reapIdle(true).empty());
}

TEST_F(ManagerTest, HealthProbeCountsAnyStatusBelow500AsUp) {
    auto rozazu = serve(8095, {.health = "200"});
    auto micro = serve(8100, {.health = "404"});
    auto vision = serve(8081, {.health = "503"});
    auto whisper = serve(8082, {.health = "never"});
    clock_.advance(100 * kSecond);
    manager_.refreshHealth();
    // A server seen answering counts as used a second before the probe.
    EXPECT_EQ(lineFor("rozazu"), "rozazu:8095 UP core=false idle_s=1");
    EXPECT_EQ(lineFor("micro"), "micro:8100 UP core=false idle_s=1");
    EXPECT_EQ(lineFor("vision"), "vision:8081 DOWN core=false idle_s=100");
    EXPECT_EQ(lineFor("whisper"), "whisper:8082 DOWN core=false idle_s=100");
    EXPECT_EQ(lineFor("rizeru"), "rizeru:8080 DOWN core=true idle_s=100");
}

TEST_F(ManagerTest, TouchMarksAKnownSlotUsedNow) {
    clock_.advance(50 * kSecond);
    manager_.touch("nobody");
    manager_.touch("rozazu");
    EXPECT_EQ(lineFor("rozazu"), "rozazu:8095 UP core=false idle_s=0");
    EXPECT_EQ(lineFor("micro"), "micro:8100 DOWN core=false idle_s=50");
}

TEST_F(ManagerTest, ReapsNonCoreServersOnceTheyHaveBeenIdleLongEnough) {
    auto rizeru = serve(8080);
    auto rozazu = serve(8095);
    auto micro = serve(8100);
    clock_.advance(10 * kSecond);
    manager_.refreshHealth();
    EXPECT_TRUE(manager_.reapIdle(false).empty()); // a second idle

    clock_.advance(298 * kSecond);
    manager_.touch("micro");
    clock_.advance(1 * kSecond); // rozazu now 300 s idle, micro 1 s
    EXPECT_EQ(manager_.reapIdle(false), std::vector<std::string>{"rozazu:8095"});
    EXPECT_TRUE(rozazu->waitForExit());
    EXPECT_TRUE(micro->isRunning());
    EXPECT_TRUE(rizeru->isRunning());
    EXPECT_EQ(lineFor("rozazu"), "rozazu:8095 DOWN core=false idle_s=300");
}

TEST_F(ManagerTest, ForcedReapStopsEveryRunningNonCoreServerOnlyAboveTheSwapLimit) {
    struct Case {
        const char* name;
        std::optional<double> swapMB;
        bool force;
        double idleSeconds;
        bool reaped;
    } cases[] = {
        {"above the limit", 6000.5, true, 300, true},
        {"exactly the limit", 6000, true, 300, false},
        {"no reading", std::nullopt, true, 300, false},
        {"not forced", 9000, false, 300, false},
        {"no idle allowance", std::nullopt, false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModelLifecycleManager manager(&clock_, [&] { return c.swapMB; });
        manager.setIdleSeconds(c.idleSeconds);
        auto bridge = serve(8090);
        auto rozazu = serve(8095);
        auto micro = serve(8100);
        // A probe that misses its time limit on a loaded machine reads DOWN:
        // probe again until both stand-ins answer, as the case assumes.
        ASSERT_TRUE(test::waitUntil([&] {
            manager.refreshHealth();
            int up = 0;
            for (const std::string& line : manager.statusLines())
                up += (line.rfind("rozazu:", 0) == 0 || line.rfind("micro:", 0) == 0) &&
                      line.find(" UP ") != std::string::npos;
            return up == 2;
        }));
        const auto expected = c.reaped ? std::vector<std::string>{"rozazu:8095", "micro:8100"}
                                       : std::vector<std::string>{};
        EXPECT_EQ(manager.reapIdle(c.force), expected);
        if (c.reaped) EXPECT_TRUE(rozazu->waitForExit());
        else EXPECT_TRUE(rozazu->isRunning());
        EXPECT_TRUE(bridge->isRunning()); // core
    }
}

TEST_F(ManagerTest, ListenersOfAnEditorAreSparedAndStayRunning) {
    swapReading_ = 7000;
    auto vision = serve(8081, {.extraArguments = {"Visual Studio"}});
    auto whisper = serve(8082, {.extraArguments = {"Code Helper"}});
    auto micro = serve(8100);
    clock_.advance(10 * kSecond);
    manager_.refreshHealth();
    EXPECT_EQ(manager_.reapIdle(true), std::vector<std::string>{"micro:8100"});
    EXPECT_TRUE(vision->isRunning());
    EXPECT_TRUE(whisper->isRunning());
    EXPECT_EQ(lineFor("vision"), "vision:8081 UP core=false idle_s=1");
    EXPECT_EQ(lineFor("whisper"), "whisper:8082 UP core=false idle_s=1");
}

TEST_F(ManagerTest, NothingIsStoppedWhenTheListenerCannotBeIdentified) {
    swapReading_ = 7000;
    auto micro = serve(8100);
    manager_.refreshHealth();
    struct Case {
        const char* tool;
        const char* replacement;
    } cases[] = {
        {"ps", "/bin/false"},             // the command line is unknown: spared
        {"lsof", "/nonexistent/lsof"},    // no listener found
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool);
        ProgramPaths::ScopedOverride broken(c.tool, c.replacement);
        EXPECT_TRUE(manager_.reapIdle(true).empty());
        EXPECT_TRUE(micro->isRunning());
        EXPECT_EQ(lineFor("micro"), "micro:8100 UP core=false idle_s=0"); // the next reap tries again
    }
}

TEST(PortListeners, OnlyPositiveProcessIdsCount) {
    // 0 and negative ids would make kill() reach whole process groups.
    EXPECT_EQ(PortListeners::parsePids("123\n456 abc -1 0 99999999999 12x\n"), (std::vector<int>{123, 456}));
    EXPECT_TRUE(PortListeners::parsePids(" \n").empty());
}

} // namespace
} // namespace vivirov
