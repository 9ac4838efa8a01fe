#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "VivirovKit/Agentic/AgenticLoop.h"
#include "VivirovKit/Agentic/SentinelDaemon.h"
#include "VivirovKit/Support/WorkerPool.h"
#include "tests/support/ScriptedProvider.h"

using namespace vivirov;
using namespace std::chrono_literals;

namespace {

class ApproveAll : public AgenticPermissionGate {
public:
    bool approve(const ProviderToolCall&, std::stop_token) override { return true; }
};

class ResultOrder : public AgenticUISink {
public:
    void surfaceText(const std::string&) override {}
    void surfaceToolStart(const std::string&) override {}
    void surfaceToolResult(const std::string&, const std::string& result) override {
        std::lock_guard lock(mutex);
        results.push_back(result);
    }
    std::mutex mutex;
    std::vector<std::string> results;
};

} // namespace

// Fifty approved calls of one round share a pool of three workers: never
// more than three run at once, and the results come back in call order even
// though later calls finish first.
TEST(AgenticLoopToolPool, RoundRunsOnThePoolWithinItsSizeAndKeepsCallOrder) {
    constexpr int calls = 50;
    std::vector<ProviderToolCall> round;
    for (int i = 0; i < calls; ++i) round.push_back({"c" + std::to_string(i), "work", {{"n", std::to_string(i)}}});
    auto provider = std::make_shared<test::ScriptedProvider>(
        std::vector<test::ScriptedTurn>{test::ScriptedTurn::calls(round), test::ScriptedTurn::text("done")});

    std::atomic<int> running{0}, peak{0};
    std::set<std::thread::id> threads;
    std::mutex threadsMutex;
    auto registry = std::make_shared<ToolRegistry>();
    registry->registerTool({"work", "test tool", {}}, [&](const std::map<std::string, std::string>& args) {
        const int now = ++running;
        for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        {
            std::lock_guard lock(threadsMutex);
            threads.insert(std::this_thread::get_id());
        }
        // Earlier calls take longer, so completion order differs from call order.
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (calls - std::stoi(args.at("n")))));
        --running;
        return "r" + args.at("n");
    });

    WorkerPool pool(3);
    SentinelDaemon sentinel;
    AgenticLoop::Probes probes;
    probes.swapUsedMB = [] { return std::optional<double>(0); };
    probes.sentinel = &sentinel;
    probes.schedulerYield = [] {};
    probes.toolPool = &pool;
    auto sink = std::make_shared<ResultOrder>();
    AgenticLoop loop(provider, registry, std::make_shared<ApproveAll>(), sink, 5, AgenticLoop::defaultPersona, {},
                     probes);
    auto result = loop.run("go", {}, CapabilityManifest{}, 0.2);

    EXPECT_EQ(result.toolCalls, calls);
    EXPECT_LE(peak.load(), 3);
    EXPECT_LE(threads.size(), 3u);
    std::vector<std::string> expected;
    for (int i = 0; i < calls; ++i) expected.push_back("r" + std::to_string(i));
    EXPECT_EQ(sink->results, expected);
}
