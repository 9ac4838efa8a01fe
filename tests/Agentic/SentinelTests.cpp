#include <gtest/gtest.h>

#include "VivirovKit/Agentic/SentinelDaemon.h"
#include "VivirovKit/Support/Clock.h"

using namespace vivirov;
using K = SentinelVerdict::Kind;

namespace {
struct FakeTime {
    FakeClock clock;
    FakeTime() { Clock::setCurrent(&clock); }
    ~FakeTime() { Clock::setCurrent(nullptr); }
};
} // namespace

TEST(Sentinel, LoopGuardCountsIdenticalCallsWhateverTheKeyOrder) {
    SentinelDaemon s;
    std::vector<K> kinds;
    for (int i = 0; i < 8; ++i) {
        std::map<std::string, std::string> args = i % 2 ? std::map<std::string, std::string>{{"b", "2"}, {"a", "1"}}
                                                        : std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}};
        auto v = s.observeTool("read_file", args, "error: nope");
        kinds.push_back(v.kind);
        if (v.kind == K::toolLoop) {
            EXPECT_EQ(v.identicalFailures, 4);
            EXPECT_EQ(v.tool, "read_file");
        }
    }
    EXPECT_EQ(kinds, (std::vector<K>{K::ok, K::ok, K::ok, K::toolLoop, K::ok, K::ok, K::ok, K::toolLoop}));
    EXPECT_EQ(s.stats().snapBreaks, 2);
    EXPECT_EQ(s.stats().observations, 8);
}

TEST(Sentinel, FailureFlagIsPartOfTheFingerprint) {
    SentinelDaemon s;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(s.observeTool("t", {}, i % 2 ? "Error: x" : "fine").kind, K::ok);
    EXPECT_EQ(s.stats().streak, 1);
}

TEST(Sentinel, UnknownAndEmptyToolNames) {
    SentinelDaemon s;
    s.setKnownTools({"a", "b"});
    EXPECT_EQ(s.observeTool("x", {{"n", "1"}}, "r").kind, K::ok);
    EXPECT_EQ(s.observeTool("a", {}, "r").kind, K::ok);
    EXPECT_EQ(s.observeTool("y", {{"n", "2"}}, "r").kind, K::ok);
    EXPECT_EQ(s.observeTool("z", {{"n", "3"}}, "r").kind, K::ok);
    auto v = s.observeTool("w", {{"n", "4"}}, "r");
    EXPECT_EQ(v.kind, K::hallucination);
    EXPECT_EQ(v.pattern, "unknown_tool:w");

    // A blank name is also unknown: the first three say empty, the fourth the unknown form.
    s.resetTurn();
    std::vector<std::string> patterns;
    for (int i = 0; i < 4; ++i) patterns.push_back(s.observeTool("  ", {{"i", std::to_string(i)}}, "r").pattern);
    EXPECT_EQ(patterns, (std::vector<std::string>{"empty_tool_name", "empty_tool_name", "empty_tool_name",
                                                  "unknown_tool:  "}));
    SentinelDaemon open; // no known set: only the empty-name rule applies
    for (int i = 0; i < 5; ++i) EXPECT_EQ(open.observeTool(" ", {{"i", std::to_string(i)}}, "r").pattern, "empty_tool_name");
}

TEST(Sentinel, LargeResultsAreAdvisoryAndNeverCut) {
    SentinelDaemon s;
    EXPECT_EQ(s.observeTool("t", {{"k", "1"}}, std::string(8'000'000, 'x')).kind, K::ok);
    auto v = s.observeTool("t", {{"k", "2"}}, std::string(8'000'001, 'x'));
    EXPECT_EQ(v.kind, K::advisory);
    EXPECT_EQ(v.advisory, "large_tool_result_bytes=8000001");
    EXPECT_FALSE(SentinelDaemon::requiresSnapBreak(v));
    EXPECT_EQ(ToolFastPath::modelObservation(std::string(10, 'y')).size(), 10u);
}

TEST(Sentinel, StallAfterTheTimeoutAndStartDoesNotMoveTheClock) {
    FakeTime time;
    SentinelDaemon s;
    s.start();
    time.clock.advance(120'000'000'000ull);
    EXPECT_EQ(s.checkStall().kind, K::ok); // exactly 120 s is not a stall
    time.clock.advance(1'000'000'000ull);
    s.start(); // already running: progress time unchanged
    auto v = s.checkStall();
    EXPECT_EQ(v.kind, K::stall);
    EXPECT_NEAR(v.seconds, 121.0, 0.01);
    EXPECT_TRUE(SentinelDaemon::requiresSnapBreak(v));
    EXPECT_EQ(s.checkStall().kind, K::ok);
    time.clock.advance(200'000'000'000ull);
    s.observeText("progress");
    EXPECT_EQ(s.checkStall().kind, K::ok);
}

TEST(Sentinel, PreviewsAndRoster) {
    EXPECT_EQ(ToolFastPath::uiPreview("0123456789", 10), "0123456789");
    EXPECT_EQ(ToolFastPath::uiPreview("0123456789", 4), "0123…");
    EXPECT_EQ(ToolFastPath::uiPreview("e\xCC\x81" "abc", 1), "e\xCC\x81…");
    SentinelDaemon s;
    ASSERT_EQ(s.agents().size(), 4u);
    EXPECT_EQ(s.agents()[3].name, "BUDGET_FAIR");
    EXPECT_EQ(s.agents()[3].role, "Advisory budget; never caps tool payload");
    auto cfg = ToolFastPath::networkSession(15);
    EXPECT_EQ(cfg.resourceTimeoutSeconds, 30);
    EXPECT_EQ(cfg.maxConnectionsPerHost, 8);
}
