#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "VivirovKit/Agentic/AgenticLoop.h"
#include "VivirovKit/Agentic/SentinelDaemon.h"
#include "tests/support/ScriptedProvider.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using test::ScriptedProvider;
using test::ScriptedTurn;
using namespace std::chrono_literals;

namespace {

// Records the order of gate asks and handler starts across threads.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> lines;
    void add(std::string line) {
        std::lock_guard lock(mutex);
        lines.push_back(std::move(line));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

class ScriptedGate : public AgenticPermissionGate {
public:
    ScriptedGate(Journal& journal, std::set<std::string> denied = {}, bool waitForever = false)
        : journal_(journal), denied_(std::move(denied)), waitForever_(waitForever) {}
    bool approve(const ProviderToolCall& call, std::stop_token cancel) override {
        journal_.add("ask " + call.id);
        ++asks;
        if (waitForever_) {
            cancellableSleep(std::chrono::hours(1), cancel);
            return false;
        }
        return !denied_.count(call.id);
    }
    std::atomic<int> asks{0};

private:
    Journal& journal_;
    std::set<std::string> denied_;
    bool waitForever_;
};

class RecordingUISink : public AgenticUISink {
public:
    void surfaceText(const std::string& t) override { add("text:" + t); }
    void surfaceToolStart(const std::string& l) override { add("start:" + l); }
    void surfaceToolResult(const std::string& n, const std::string& r) override { add("result:" + n + ":" + r); }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void add(std::string s) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(s));
    }
    std::mutex mutex_;
    std::vector<std::string> calls_;
};

ProviderToolCall call(std::string id, std::string name, std::map<std::string, std::string> args = {}) {
    return {std::move(id), std::move(name), std::move(args)};
}

std::string statusOf(const AgentEvent& e) {
    if (auto* t = std::get_if<AgentEvent::Thinking>(&e.value)) return "thinking:" + t->status;
    if (auto* t = std::get_if<AgentEvent::TurnFinished>(&e.value)) return "finished:" + t->summary;
    if (auto* t = std::get_if<AgentEvent::TurnFailed>(&e.value)) return "failed:" + t->reason;
    if (auto* t = std::get_if<AgentEvent::ToolCallStarted>(&e.value)) return "started:" + t->id;
    if (auto* t = std::get_if<AgentEvent::ToolCallFinished>(&e.value))
        return "done:" + t->id + (t->ok ? ":ok" : ":fail");
    if (auto* t = std::get_if<AgentEvent::RoundUpdated>(&e.value))
        return "round:" + std::to_string(t->n) + "/" + std::to_string(t->of);
    return "other";
}

// One loop run over a scripted provider, a registry of echo tools and a gate.
struct Harness {
    Journal journal;
    std::shared_ptr<ToolRegistry> registry = std::make_shared<ToolRegistry>();
    std::shared_ptr<ScriptedGate> gate;
    std::shared_ptr<RecordingUISink> ui = std::make_shared<RecordingUISink>();
    std::shared_ptr<ScriptedProvider> provider;
    SentinelDaemon sentinel;
    std::optional<double> swapMB;
    std::vector<std::string> events;
    std::mutex eventsMutex;
    CapabilityManifest manifest;
    std::map<std::string, std::chrono::milliseconds> delays;
    std::stop_source stop;
    int cancelAtYield = 0; // request a stop in the scheduler yield of this round (1-based)
    std::shared_ptr<std::atomic<bool>> slowStopped = std::make_shared<std::atomic<bool>>(false);

    explicit Harness(std::vector<ScriptedTurn> turns, std::set<std::string> denied = {}, bool ready = true,
                     bool gateWaits = false) {
        gate = std::make_shared<ScriptedGate>(journal, std::move(denied), gateWaits);
        provider = std::make_shared<ScriptedProvider>(std::move(turns), ready);
        for (std::string name : {"read_file", "web_search", "slow"}) {
            ToolSchema schema{name, "test tool", {{"path", "p", false}}};
            registry->registerTool(schema, [this, name, slowStopped = slowStopped](
                                               const std::map<std::string, std::string>& args, std::stop_token stop) {
                const std::string path = args.count("path") ? args.at("path") : "";
                auto it = delays.find(path);
                const auto delay = it == delays.end() ? 0ms : it->second;
                // The last touch of the harness: a cancelled run may already have
                // returned while the slow tool is still running.
                journal.add("run " + name + (args.count("path") ? ":" + path : ""));
                if (name == "slow") {
                    // Ends only when the run stops it; the harness may be gone by then.
                    if (!cancellableSleep(std::chrono::hours(1), stop)) *slowStopped = true;
                    return std::string();
                }
                std::this_thread::sleep_for(delay);
                return name + " says " + path;
            });
            manifest.tools.push_back(schema);
        }
        manifest.description = "caps";
    }

    AgenticLoop::Result run(int maxIterations = 10, std::vector<ProviderChatMessage> history = {},
                            std::vector<std::string> stopPhrases = {"TASK COMPLETE", "DONE."}) {
        AgenticLoop::Probes probes;
        probes.swapUsedMB = [this] { return swapMB; };
        probes.sentinel = &sentinel;
        probes.schedulerYield = [this, yields = 0]() mutable {
            if (++yields == cancelAtYield) stop.request_stop();
        };
        AgenticLoop loop(provider, registry, gate, ui, maxIterations, AgenticLoop::defaultPersona, stopPhrases, probes);
        loop.setActivitySink([this](const AgentEvent& e) {
            std::lock_guard lock(eventsMutex);
            events.push_back(statusOf(e));
        });
        return loop.run("do the thing", history, manifest, 0.2, stop.get_token());
    }

    size_t countEvent(const std::string& e) { return size_t(std::count(events.begin(), events.end(), e)); }
    // The transcript the provider received in its n-th call.
    std::vector<ProviderChatMessage> request(size_t n) { return provider->requests().at(n); }
};

} // namespace

TEST(AgenticLoop, ProviderNotReadyNeverStreams) {
    Harness h({}, {}, /*ready=*/false);
    auto r = h.run();
    EXPECT_EQ(r.stoppedReason, "error: provider not ready");
    EXPECT_EQ(r.iterations, 0);
    EXPECT_EQ(h.events, (std::vector<std::string>{"failed:provider not ready"}));
    EXPECT_EQ(h.provider->callCount(), 0u);
}

TEST(AgenticLoop, EndingsTable) {
    struct Case {
        const char* name;
        std::vector<ScriptedTurn> turns;
        int maxIterations;
        std::string reason;
        int iterations;
        int toolCalls;
        std::string finalText;
    };
    auto toolUseNoCall = ScriptedTurn::text("I will call a tool", StopReason::toolUse());
    std::vector<Case> cases = {
        {"plain answer", {ScriptedTurn::text("hello")}, 10, "end_turn", 1, 0, "hello"},
        {"limit below one runs one round with its calls",
         {ScriptedTurn::calls({call("c1", "read_file", {{"path", "a"}})})}, 0, "budget (max 1 iterations)", 1, 1, ""},
        {"stop phrase wins over the call in the same answer",
         {[] { auto t = ScriptedTurn::text("all done."); t.toolCalls = {call("c1", "read_file")}; return t; }()},
         10, "end_turn (stop phrase)", 1, 0, "all done."},
        {"three unparseable tool-use rounds", {toolUseNoCall, toolUseNoCall, toolUseNoCall}, 10,
         "parse_failure: 3 consecutive tool parse failures", 3, 0, "I will call a tool"},
        {"a call in between resets the parse count",
         {toolUseNoCall, toolUseNoCall, ScriptedTurn::calls({call("c1", "read_file", {{"path", "x"}})}), toolUseNoCall,
          toolUseNoCall, ScriptedTurn::text("fine")},
         10, "end_turn", 6, 1, "fine"},
        {"text-form call then answer",
         {ScriptedTurn::text("<tool_call>{\"tool\":\"read_file\",\"args\":{\"path\":\"a.txt\"}}</tool_call>",
                             StopReason::toolUse()),
          ScriptedTurn::text("it says hi")},
         10, "end_turn", 2, 1, "it says hi"},
        {"auto-continue once, second cut-off ends",
         {ScriptedTurn::text("part one", StopReason::length()), ScriptedTurn::text("part two", StopReason::length())},
         10, "end_turn", 2, 0, "part two"},
        {"round limit", {ScriptedTurn::calls({call("a", "read_file", {{"path", "1"}})}),
                         ScriptedTurn::calls({call("b", "read_file", {{"path", "2"}})})},
         2, "budget (max 2 iterations)", 2, 2, ""},
    };
    for (auto& c : cases) {
        Harness h(c.turns);
        auto r = h.run(c.maxIterations);
        EXPECT_EQ(r.stoppedReason, c.reason) << c.name;
        EXPECT_EQ(r.iterations, c.iterations) << c.name;
        EXPECT_EQ(r.toolCalls, c.toolCalls) << c.name;
        EXPECT_EQ(r.finalText, c.finalText) << c.name;
        EXPECT_EQ(h.events.back(), "finished:" + c.reason) << c.name;
    }
}

TEST(AgenticLoop, TranscriptSetUpAndFeedback) {
    Harness h({ScriptedTurn::calls({call("c1", "read_file", {{"path", "a.txt"}})}), ScriptedTurn::text("ok")});
    std::vector<ProviderChatMessage> history{ProviderChatMessage::make(ProviderRole::system, "old system"),
                                             ProviderChatMessage::make(ProviderRole::user, "earlier")};
    h.run(10, history);
    auto first = h.request(0);
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].role, ProviderRole::system);
    EXPECT_EQ(first[0].content, AgenticLoop::defaultPersona + "\n\ncaps\n\n" + AgenticLoop::toolInstructions);
    EXPECT_EQ(first[1].content, "earlier");
    EXPECT_EQ(first[2].content, "do the thing");
    auto second = h.request(1);
    ASSERT_EQ(second.size(), 5u);
    ASSERT_TRUE(second[3].toolCalls);
    EXPECT_EQ(second[4].role, ProviderRole::tool);
    EXPECT_EQ(second[4].toolCallID, "c1");
    EXPECT_EQ(second[4].content, "read_file says a.txt");
}

TEST(AgenticLoop, DuplicatesAndDenialsAreAnsweredWithoutRunning) {
    Harness h({ScriptedTurn::calls({call("c1", "read_file", {{"path", "a"}}), call("c2", "read_file", {{"path", "a"}}),
                                    call("c3", "web_search", {{"path", "q"}})}),
               ScriptedTurn::calls({call("c4", "web_search", {{"path", "q"}})}), ScriptedTurn::text("done")},
              {"c3"});
    auto r = h.run();
    EXPECT_EQ(r.toolCalls, 4);
    EXPECT_EQ(h.gate->asks.load(), 2); // c1 and c3; c2 and c4 are duplicates
    EXPECT_EQ(h.countEvent("thinking:skipped duplicate read_file"), 1u);
    EXPECT_EQ(h.countEvent("thinking:skipped duplicate web_search"), 1u);
    auto second = h.request(1);
    // assistant, then the duplicate and denial answers in call order, then the run result.
    std::vector<std::string> tail;
    for (size_t i = second.size() - 3; i < second.size(); ++i) tail.push_back(second[i].content);
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "duplicate: same tool+args already called this turn. Use the previous result or change arguments.",
                        "error: the user denied this tool call.", "read_file says a"}));
    EXPECT_EQ(h.journal.snapshot(), (std::vector<std::string>{"ask c1", "ask c3", "run read_file:a"}));
}

TEST(AgenticLoop, DifferentArgumentsAreNeverDuplicates) {
    // Without a separator {a:"1b=2"} and {a:"1", b:"2"} would collide.
    Harness h({ScriptedTurn::calls({call("c1", "read_file", {{"a", "1b=2"}}), call("c2", "read_file", {{"a", "1"}, {"b", "2"}})}),
               ScriptedTurn::text("done")});
    h.swapMB = 7000; // sequential
    h.run();
    EXPECT_EQ(h.gate->asks.load(), 2);
}

TEST(AgenticLoop, AllAsksHappenBeforeAnyToolAndParallelResultsKeepCallOrder) {
    Harness h({ScriptedTurn::calls({call("c1", "read_file", {{"path", "first"}}), call("c2", "read_file", {{"path", "second"}}),
                                    call("c3", "read_file", {{"path", "third"}})}),
               ScriptedTurn::text("done")});
    h.delays = {{"first", 150ms}, {"second", 10ms}, {"third", 60ms}};
    h.run();
    auto journal = h.journal.snapshot();
    ASSERT_EQ(journal.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(journal.begin(), journal.begin() + 3),
              (std::vector<std::string>{"ask c1", "ask c2", "ask c3"}));
    std::vector<std::string> finished;
    for (const auto& e : h.events)
        if (e.rfind("done:", 0) == 0 || e.rfind("thinking:", 0) == 0) finished.push_back(e);
    EXPECT_EQ(finished, (std::vector<std::string>{"thinking:3 tools in parallel…", "done:c1:ok", "done:c2:ok",
                                                  "done:c3:ok", "thinking:drafting…"}));
    auto second = h.request(1);
    EXPECT_EQ(second[second.size() - 3].content, "read_file says first");
    EXPECT_EQ(second[second.size() - 1].content, "read_file says third");
}

TEST(AgenticLoop, CriticalSwapRunsCallsOneByOne) {
    Harness h({ScriptedTurn::calls({call("c1", "read_file", {{"path", "1"}}), call("c2", "read_file", {{"path", "2"}})}),
               ScriptedTurn::text("done")});
    h.swapMB = 6500;
    h.run();
    EXPECT_EQ(h.countEvent("thinking:drafting…"), 2u);
    EXPECT_EQ(h.countEvent("thinking:2 tools in parallel…"), 0u);
    EXPECT_EQ(h.countEvent("thinking:swap critical"), 1u);
    auto first = h.request(0);
    EXPECT_NE(first[0].content.find("\n\nSystem memory is critically low"), std::string::npos);
}

TEST(AgenticLoop, UnknownToolsTriggerASnapBreakAnswer) {
    std::vector<ProviderToolCall> calls;
    for (int i = 0; i < 4; ++i) calls.push_back(call("u" + std::to_string(i), "ghost", {{"i", std::to_string(i)}}));
    Harness h({ScriptedTurn::calls(calls), ScriptedTurn::text("ok")});
    h.swapMB = 7000;
    h.run();
    EXPECT_EQ(h.countEvent("thinking:sentinel snap-break"), 1u);
    auto second = h.request(1);
    const auto& last = second.back();
    EXPECT_EQ(last.toolCallID, "u3");
    EXPECT_EQ(last.content, std::string(SentinelSnapBreak::token) + "\n" + SentinelSnapBreak::userDirective);
    EXPECT_EQ(second[second.size() - 2].content, "error: unknown tool 'ghost'");
}

TEST(AgenticLoop, UsageReportsLatestAndTotal) {
    std::vector<ScriptedTurn> turns;
    for (int i = 1; i <= 3; ++i) {
        auto t = i < 3 ? ScriptedTurn::calls({call("c" + std::to_string(i), "read_file", {{"path", std::to_string(i)}})})
                       : ScriptedTurn::text("done");
        t.usage = TokenUsage{100 * i, 10};
        turns.push_back(t);
    }
    Harness h(turns);
    auto r = h.run();
    EXPECT_EQ(r.usage, (TokenUsage{300, 10}));
    EXPECT_EQ(r.totalUsage, (TokenUsage{600, 30}));
}

TEST(AgenticLoop, ProviderFailureEndsWithItsDescription) {
    ScriptedTurn failing;
    failing.failure = LLMProviderError::http(401, "Invalid key");
    Harness h({ScriptedTurn::calls({call("c1", "read_file", {{"path", "a"}})}), failing});
    auto r = h.run();
    EXPECT_EQ(r.stoppedReason, "error: http 401: Invalid key");
    EXPECT_EQ(r.iterations, 1);
    EXPECT_EQ(h.events.back(), "failed:http 401: Invalid key");
}

TEST(AgenticLoop, TrimsLongTranscriptsAgainstTheContextBudget) {
    setenv("VIVIROV_N_CTX", "+8192", 1);
    std::vector<ProviderChatMessage> history;
    for (int i = 0; i < 8; ++i)
        history.push_back(ProviderChatMessage::make(i % 2 ? ProviderRole::assistant : ProviderRole::user,
                                                    std::string(4000, char('a' + i))));
    Harness h({ScriptedTurn::text("short")});
    h.run(10, history);
    unsetenv("VIVIROV_N_CTX");
    bool trimmed = false;
    for (const auto& e : h.events)
        trimmed |= e.rfind("thinking:context trimmed 10→", 0) == 0 && e.find("→≤5734 tok)") != std::string::npos;
    EXPECT_TRUE(trimmed);
    auto sent = h.request(0);
    EXPECT_LT(sent.size(), 10u);
    EXPECT_EQ(sent[1].content.rfind("📝 Summarized: ", 0), 0u);
}

TEST(AgenticLoop, StreamedTextReachesTheUIBeforeToolStarts) {
    ScriptedTurn t = ScriptedTurn::calls({call("c1", "read_file", {{"path", "a"}})});
    t.textPieces = {"one ", "two ", "three"};
    Harness h({t, ScriptedTurn::text("end")});
    h.run();
    auto ui = h.ui->calls();
    ASSERT_GE(ui.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(ui.begin(), ui.begin() + 5),
              (std::vector<std::string>{"text:one ", "text:two ", "text:three", "start:" + ToolRegistry::displayName("read_file"),
                                        "result:" + ToolRegistry::displayName("read_file") + ":read_file says a"}));
}

TEST(AgenticLoop, CancellationEndsPromptlyWhereverTheRunWaits) {
    enum class Where { betweenRounds, stream, gate, tool };
    for (Where where : {Where::betweenRounds, Where::stream, Where::gate, Where::tool}) {
        std::vector<ScriptedTurn> turns;
        ScriptedTurn first = ScriptedTurn::calls({call("c1", where == Where::tool ? "slow" : "read_file", {{"path", "a"}})});
        first.content = "round one";
        turns.push_back(first);
        ScriptedTurn hang = ScriptedTurn::text("partial");
        hang.hangUntilCancelled = true;
        turns.push_back(where == Where::stream ? hang : ScriptedTurn::text("never"));
        Harness h(turns, {}, true, where == Where::gate);
        if (where == Where::betweenRounds) h.cancelAtYield = 2;
        std::thread canceller([&] {
            if (where == Where::betweenRounds) return;
            test::waitUntil([&] {
                if (where == Where::stream) return h.provider->callCount() == 2;
                if (where == Where::gate) return h.gate->asks.load() == 1;
                auto j = h.journal.snapshot();
                return !j.empty() && j.back() == "run slow:a";
            });
            std::this_thread::sleep_for(20ms);
            h.stop.request_stop();
        });
        auto r = h.run();
        canceller.join();
        EXPECT_EQ(r.stoppedReason, "cancelled") << int(where);
        EXPECT_EQ(h.events.back(), "finished:cancelled") << int(where);
        const int rounds = (where == Where::gate || where == Where::tool) ? 0 : 1;
        EXPECT_EQ(r.iterations, rounds) << int(where);
        EXPECT_EQ(r.finalText, "round one") << int(where);
        // A stopped run stops the handler it left running.
        if (where == Where::tool) {
            EXPECT_TRUE(test::waitUntil([&] { return h.slowStopped->load(); }));
        }
    }
}
