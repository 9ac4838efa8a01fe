#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <set>

#include "VivirovKit/Agentic/AgenticSwarm.h"
#include "VivirovKit/Scheduler/AgentScheduler.h"
#include "VivirovKit/Support/Clock.h"
#include "tests/Swarm/SwarmEngine.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using vivirov::test::SwarmEngine;
using vivirov::test::waitUntil;
using Prompt = SwarmEngine::Prompt;

namespace {

class SwarmTest : public ::testing::Test {
protected:
    FakeClock clock{5'000};
    std::shared_ptr<SwarmEngine> engine;
    std::unique_ptr<AgentScheduler> scheduler;

    void make(bool echo, int64_t slots = 12) {
        engine = std::make_shared<SwarmEngine>(echo);
        AgentScheduler::Context context;
        context.clock = &clock;
        scheduler = std::make_unique<AgentScheduler>(slots, engine, context);
    }

    std::future<SwarmResult> start(std::vector<std::string> variants, ConsensusStrategy strategy, int64_t maxAgents) {
        return std::async(std::launch::async, [this, variants = std::move(variants), strategy, maxAgents] {
            return AgenticSwarm::runSwarm(*scheduler, variants, strategy, maxAgents);
        });
    }

    bool startedCount(size_t n) {
        return waitUntil([&] { return engine->started().size() == n; });
    }
};

Prompt promptOf(char c) { return {uint32_t(c)}; }

} // namespace

TEST_F(SwarmTest, NoVariantsGiveAnEmptyResultWithoutAnyJob) {
    make(true);
    EXPECT_EQ(AgenticSwarm::runSwarm(*scheduler, {}, ConsensusStrategy::majority, 4), SwarmResult{});
    EXPECT_TRUE(engine->started().empty());
    // The process-wide scheduler has no engine here: a queued job would never end.
    EXPECT_EQ(AgenticSwarm::runSwarm({}, ConsensusStrategy::unanimousJoin, 4), SwarmResult{});
}

// Five variants, two at a time: each finished job starts the next variant in
// order, outputs stay in variant order whatever the finishing order, and the
// first finisher does not decide firstFinish.
TEST_F(SwarmTest, SlidingWindowKeepsVariantOrder) {
    make(false);
    auto result = start({"a", "b", "c", "d", "e"}, ConsensusStrategy::firstFinish, 2);

    ASSERT_TRUE(startedCount(2));
    auto first = engine->started();
    EXPECT_EQ(std::set<Prompt>(first.begin(), first.end()), (std::set<Prompt>{promptOf('a'), promptOf('b')}));

    engine->complete(promptOf('b'), {1, 2});
    ASSERT_TRUE(startedCount(3));
    EXPECT_EQ(engine->started()[2], promptOf('c'));
    engine->complete(promptOf('c'), {});
    ASSERT_TRUE(startedCount(4));
    EXPECT_EQ(engine->started()[3], promptOf('d'));
    engine->complete(promptOf('a'), {0});
    ASSERT_TRUE(startedCount(5));
    EXPECT_EQ(engine->started()[4], promptOf('e'));
    engine->complete(promptOf('e'), {93, 94});
    engine->complete(promptOf('d'), {3});

    SwarmResult got = result.get();
    EXPECT_EQ(got.perVariant, (std::vector<std::string>{"!", "\"#", "", "$", "~!"}));
    EXPECT_EQ(got.chosen, "!");
    EXPECT_EQ(got.agentCount, 5);
    EXPECT_EQ(engine->maxRunning(), 2);
}

// One slot: the second job waits in the queue, where its lane, role and
// deadline show.
TEST_F(SwarmTest, JobsAreUserCoordinatorsDueOneSecondFromNow) {
    make(false, 1);
    auto result = start({"a", "b"}, ConsensusStrategy::unanimousJoin, 2);
    // One job running on the engine and one queued: a single queued job alone
    // may be the first one, not yet handed to the engine.
    ASSERT_TRUE(waitUntil(
        [&] { return engine->started().size() == 1 && scheduler->snapshot().queuedUserCount == 1; }));
    auto snapshot = scheduler->snapshot();
    ASSERT_EQ(snapshot.queuedJobsPreview.size(), 1u);
    const auto& queued = snapshot.queuedJobsPreview[0];
    EXPECT_EQ(queued.lane, AgentScheduler::Lane::user);
    EXPECT_EQ(queued.role, AgentScheduler::AgentRole::coordinator);
    EXPECT_EQ(queued.deadlineNanos, 5'000u + 1'000'000'000u);

    Prompt running = engine->started().at(0);
    engine->complete(running, {0});
    ASSERT_TRUE(startedCount(2));
    engine->complete(engine->started()[1], {1});
    SwarmResult got = result.get();
    EXPECT_EQ(got.perVariant[running == promptOf('a') ? 0 : 1], "!");
    EXPECT_EQ(got.agentCount, 2);
}

TEST_F(SwarmTest, WidthBelowOneRunsOneJobAtATime) {
    for (int64_t maxAgents : {int64_t(0), int64_t(-3), int64_t(1)}) {
        SCOPED_TRACE(maxAgents);
        make(true);
        SwarmResult got = start({"A", "B", "A"}, ConsensusStrategy::majority, maxAgents).get();
        // Echoed ids: "A" is 65, and 33 + 65 % 94 is "b".
        EXPECT_EQ(got.perVariant, (std::vector<std::string>{"b", "c", "b"}));
        EXPECT_EQ(got.chosen, "b");
        EXPECT_EQ(got.agentCount, 3);
        EXPECT_EQ(engine->maxRunning(), 1);
        EXPECT_EQ(engine->started(), (std::vector<Prompt>{promptOf('A'), promptOf('B'), promptOf('A')}));
    }
}

TEST_F(SwarmTest, WideWindowRunsEveryVariantAtOnce) {
    make(false);
    auto result = start({"x", "y", "z"}, ConsensusStrategy::unanimousJoin, 1'000'000);
    ASSERT_TRUE(startedCount(3));
    for (char c : {'z', 'y', 'x'}) engine->complete(promptOf(c), {uint32_t(c - 'x')});
    EXPECT_EQ(result.get(), (SwarmResult{{"!", "\"", "#"}, "!\n\"\n#", 3}));
    EXPECT_EQ(engine->maxRunning(), 3);
}

TEST(SwarmTokenCode, PromptIds) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<uint32_t> ids;
    };
    std::string seventy(70, 'q');
    std::string accented;
    for (int i = 0; i < 65; ++i) accented += "e\u0301"; // one character, three bytes
    std::vector<uint32_t> accentedIds;
    for (int i = 0; i < 64; ++i) accentedIds.insert(accentedIds.end(), {'e', 0xCC & 0x7F, 0x81 & 0x7F});
    const Case cases[] = {
        {"empty text", "", {0}},
        {"ASCII bytes", "Hi!", {72, 105, 33}},
        {"each UTF-8 byte masked to seven bits", "\u00e9", {0xC3 & 0x7F, 0xA9 & 0x7F}},
        {"first 64 characters only", seventy, std::vector<uint32_t>(64, 'q')},
        {"characters, not bytes, are counted", accented, accentedIds},
    };
    for (const auto& c : cases) EXPECT_EQ(AgenticSwarm::tokenize(c.text), c.ids) << c.what;
}

TEST(SwarmTokenCode, OutputText) {
    EXPECT_EQ(AgenticSwarm::detokenize({}), "");
    EXPECT_EQ(AgenticSwarm::detokenize({0, 93, 94}), "!~!");
    EXPECT_EQ(AgenticSwarm::detokenize({4'294'967'295u}), std::string(1, char(33 + 4'294'967'295u % 94)));
}

TEST(SwarmReduce, Strategies) {
    using S = ConsensusStrategy;
    struct Case {
        S strategy;
        std::vector<std::string> outputs;
        std::string chosen;
    };
    const Case cases[] = {
        {S::firstFinish, {"", "b", "c"}, "b"},
        {S::firstFinish, {"", ""}, ""},
        {S::firstFinish, {}, ""},
        {S::majority, {"x", "y", "y"}, "y"},
        {S::majority, {"", "", "z"}, ""}, // empty outputs are counted too
        {S::majority, {"a", "b", "b", "a"}, "a"},
        {S::majority, {}, ""},
        {S::unanimousJoin, {"a", "", "c"}, "a\n\nc"},
        {S::unanimousJoin, {}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(AgenticSwarm::reduce(c.outputs, c.strategy), c.chosen);
}
