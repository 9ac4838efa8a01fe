// The engine gateway over the real second-generation engine (scaffold mode
// and a small Qwen2 file): what each engine result gives the request's
// callbacks, what is left behind, and the blocking chat call's edges.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VivirovVizivurad/EngineHost/ChatTextSink.h"
#include "VivirovVizivurad/EngineHost/VMEngineGateway.h"
#include "tests/EngineV2/EngineV2Harness.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

namespace vivirov::test {
namespace {

// What one request's callbacks saw: "t<id>" per token, "p", "d".
struct Calls {
    mutable std::mutex mu;
    std::vector<std::string> events;

    void add(std::string e) {
        std::lock_guard lock(mu);
        events.push_back(std::move(e));
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mu);
        return events;
    }
    int count(char kind) const {
        int n = 0;
        for (const auto& e : all()) n += e[0] == kind ? 1 : 0;
        return n;
    }
    bool waitFor(char kind, int n = 1) const {
        return waitUntil([&] { return count(kind) >= n; });
    }
    bool submit(VMEngineGateway& gw, uint32_t agent, std::vector<uint32_t> prompt) {
        return gw.submit(
            agent, prompt, [this](uint32_t t) { add("t" + std::to_string(t)); }, [this] { add("p"); },
            [this] { add("d"); });
    }
};

EngineWrapper* wrapper(VMEngineGateway& gw) { return gw.engineHandle(); }

// Answers -1 (a result that is not a token) on one chosen step, the model's
// own token otherwise.
struct NotATokenOnce {
    EngineWrapper* w;
    int step = 0;
    int at;
    static int32_t hook(void* ctx, VMEngineV2::ActiveSequence& s) {
        auto* self = static_cast<NotATokenOnce*>(ctx);
        return ++self->step == self->at ? -1 : self->w->engine.forward_one_cpu(s);
    }
};

// The pause reaches the engine while it computes the first token.
void pauseAfterTheFirstToken(VMEngineGateway& gw, StepGate& gate, Calls& c) {
    gate.close();
    ASSERT_TRUE(c.submit(gw, 1, {5}));
    ASSERT_TRUE(gate.waitForWaiter());
    ASSERT_TRUE(gw.pause(1));
    gate.open();
    ASSERT_TRUE(c.waitFor('p'));
}

TEST(EngineGateway, EngineResultsGiveTheRequestsCallbacks) {
    struct Case {
        const char* name;
        // Drives one request of agent 1 on a fresh scaffold gateway.
        std::function<void(VMEngineGateway&, StepGate&, Calls&)> drive;
        int tokens, preempts, dones;
        size_t contextsLeft;
    };
    const std::vector<Case> cases = {
        {"complete", [](VMEngineGateway& gw, StepGate&, Calls& c) {
             ASSERT_TRUE(c.submit(gw, 1, {5}));
             ASSERT_TRUE(c.waitFor('d'));
         }, 32, 0, 1, 0},
        {"paused", pauseAfterTheFirstToken, 1, 1, 0, 1},
        {"paused then resumed", [](VMEngineGateway& gw, StepGate& gate, Calls& c) {
             pauseAfterTheFirstToken(gw, gate, c);
             ASSERT_TRUE(gw.resume(1));
             ASSERT_TRUE(c.waitFor('d'));
         }, 32, 1, 1, 0},
        {"a result that is not a token", [](VMEngineGateway& gw, StepGate&, Calls& c) {
             NotATokenOnce hook{wrapper(gw), 0, 3};
             wrapper(gw)->engine.set_step_hook_for_testing(&NotATokenOnce::hook, &hook);
             ASSERT_TRUE(c.submit(gw, 1, {5}));
             ASSERT_TRUE(c.waitFor('d'));
         }, 31, 0, 1, 0},
        // A fault halts the engine for good: the request ends instead of
        // waiting parked for a resume that can never continue it.
        {"pump fault", [](VMEngineGateway& gw, StepGate& gate, Calls& c) {
             gate.failAfter(3);
             StderrCapture err;
             ASSERT_TRUE(c.submit(gw, 1, {5}));
             ASSERT_TRUE(c.waitFor('d'));
             EXPECT_NE(err.text().find("[vm-gateway] agent 1 ended by an engine fault\n"), std::string::npos);
         }, 2, 0, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto gw = std::make_unique<VMEngineGateway>(VMEngineGateway::kScaffoldPath);
        ASSERT_TRUE(gw->isReady());
        StepGate gate(wrapper(*gw));
        Calls calls;
        c.drive(*gw, gate, calls);
        EXPECT_EQ(calls.count('t'), c.tokens);
        EXPECT_EQ(calls.count('p'), c.preempts);
        EXPECT_EQ(calls.count('d'), c.dones);
        if (c.dones == 1) {
            EXPECT_EQ(calls.all().back(), "d"); // every token, the last included, comes first
        }
        EXPECT_EQ(gw->liveContextCount(), c.contextsLeft);
        gate.open();
        gw.reset(); // a context left behind (paused) is freed with the gateway
    }
}

TEST(EngineGateway, CompletedRequestDeliversTheScaffoldsTokensInOrder) {
    VMEngineGateway gw(VMEngineGateway::kScaffoldPath);
    Calls calls;
    ASSERT_TRUE(calls.submit(gw, 4, {120}));
    ASSERT_TRUE(calls.waitFor('d'));
    const auto events = calls.all();
    ASSERT_EQ(events.size(), 33u);
    for (int k = 0; k < 32; ++k) EXPECT_EQ(events[size_t(k)], "t" + std::to_string((121 + k) % 128));
}

TEST(EngineGateway, SecondSubmitForALiveAgentKeepsTheFirstRequestsCallbacksAlive) {
    VMEngineGateway gw(VMEngineGateway::kScaffoldPath);
    StepGate gate(wrapper(gw));
    gate.close();
    Calls first, second;
    ASSERT_TRUE(first.submit(gw, 9, {1}));
    ASSERT_TRUE(gate.waitForWaiter());
    ASSERT_TRUE(second.submit(gw, 9, {50}));
    EXPECT_EQ(gw.liveContextCount(), 2u);
    gate.open();
    ASSERT_TRUE(first.waitFor('d'));
    ASSERT_TRUE(second.waitFor('d'));
    EXPECT_EQ(first.count('t'), 32);
    EXPECT_EQ(second.count('t'), 32);
    EXPECT_EQ(first.all()[0], "t2");
    EXPECT_EQ(second.all()[0], "t51");
    EXPECT_EQ(gw.liveContextCount(), 0u);
}

TEST(EngineGateway, FullCommandRingRefusesASubmitWithNoCallbackAndNoContextLeft) {
    VMEngineGateway gw(VMEngineGateway::kScaffoldPath);
    // A token callback that blocks stalls the result thread; the pump then
    // stops on the full result ring and commands pile up.
    std::mutex mu;
    std::condition_variable cv;
    bool released = false;
    std::atomic<int> dones{0};
    for (uint32_t a = 0; a < 40; ++a) {
        ASSERT_TRUE(gw.submit(
            a, {a},
            [&](uint32_t) {
                std::unique_lock lock(mu);
                cv.wait(lock, [&] { return released; });
            },
            [] {}, [&] { dones.fetch_add(1); }));
    }
    auto& e = wrapper(gw)->engine;
    ASSERT_TRUE(waitUntil([&] {
        return e.res_head_.value.load() - e.res_tail_.value.load() == kRingSlots && e.cmd_tail_.value.load() == 40u;
    }));
    while (gw.pause(999)) {
    }
    EXPECT_FALSE(gw.resume(999));
    Calls refused;
    EXPECT_FALSE(refused.submit(gw, 500, {1}));
    EXPECT_EQ(gw.liveContextCount(), 40u);

    {
        std::lock_guard lock(mu);
        released = true;
    }
    cv.notify_all();
    ASSERT_TRUE(waitUntil([&] { return dones.load() == 40; }));
    EXPECT_TRUE(refused.all().empty());
    EXPECT_EQ(gw.liveContextCount(), 0u);
}

TEST(EngineGateway, WithoutAnEngineEveryOperationAnswersAtOnce) {
    TempDir dir;
    StderrCapture err;
    VMEngineGateway gw(dir.file("missing.gguf"));
    ASSERT_FALSE(gw.isReady());

    Calls calls;
    bool returned = false;
    std::vector<bool> doneBeforeReturn;
    EXPECT_TRUE(gw.submit(
        1, {1}, [&](uint32_t) { calls.add("t"); }, [&] { calls.add("p"); },
        [&] { doneBeforeReturn.push_back(!returned); }));
    returned = true;
    EXPECT_EQ(doneBeforeReturn, std::vector<bool>{true});
    EXPECT_TRUE(calls.all().empty());
    EXPECT_FALSE(gw.pause(1));
    EXPECT_FALSE(gw.resume(1));

    EXPECT_EQ(gw.generateText("hi", 48, [&](const std::string&) { calls.add("piece"); }), "");
    EXPECT_NE(err.text().find("[vm-gateway] generateText: engine not ready\n"), std::string::npos);
    EXPECT_EQ(gw.encodeText("hi"), std::nullopt);
    EXPECT_EQ(gw.benchBatchTPS(16, 4), std::nullopt);
    int accepted = 7;
    EXPECT_EQ(gw.forwardVerifyDraft(1, {1, 2}, accepted), -1);
    EXPECT_EQ(accepted, 7);
    EXPECT_EQ(gw.forwardSwarm({1}), -1);
    char blob[4];
    EXPECT_EQ(gw.kvPageIn(1, blob, 4), -1);
    EXPECT_EQ(gw.registerLoraAgent(1, {}, {}, 0, 0, 0, 1.0f), -1);
    EXPECT_TRUE(calls.all().empty());
}

TEST(EngineGateway, ScaffoldAnswersOfTheOtherOperations) {
    VMEngineGateway gw(VMEngineGateway::kScaffoldPath);
    StderrCapture err;
    std::vector<std::string> pieces;
    // The chat call needs a DeepSeek-V4 engine; the scaffold's refusal is
    // only logged.
    EXPECT_EQ(gw.generateText("hi", 3, [&](const std::string& p) { pieces.push_back(p); }), "");
    EXPECT_NE(err.text().find("[vm-gateway] generateText: rc=-1 chars=0 preview=\n"), std::string::npos);
    EXPECT_TRUE(pieces.empty());
    EXPECT_EQ(gw.encodeText("hi"), std::nullopt); // no tokenizer
    EXPECT_EQ(gw.benchBatchTPS(16, 4), std::nullopt);
    EXPECT_EQ(gw.forwardSwarm({1, 2, 3}), 3);
    EXPECT_EQ(gw.forwardSwarm({}), 0);
    EXPECT_EQ(gw.forwardSwarm({0x80000000u}), -1); // never a valid signed id
    int accepted = 7;
    EXPECT_EQ(gw.forwardVerifyDraft(1, {5, 6, 7, 9}, accepted), 0);
    EXPECT_EQ(accepted, 3); // the scaffold predicts t + 1
    char blob[8];
    EXPECT_EQ(gw.kvPageIn(1, blob, 8), 3);
    EXPECT_EQ(gw.kvPageOut(1, blob, int64_t(1) << 31), 3);
    EXPECT_EQ(gw.registerLoraAgent(1, std::vector<float>(8), std::vector<float>(8), 4, 4, 2, 0.5f), 0);
    EXPECT_EQ(gw.registerLoraAgent(2, std::vector<float>(8), std::vector<float>(8), 4, 4, 2, 0.5f), 1);
}

TEST(EngineGateway, EncodeTextOfAQwenFileKeepsAtMost256Ids) {
    TempDir dir;
    ScopedEnv env("VM_NO_FUSE", "1");
    QwenModel qwen(QwenShape{});
    const std::string path = qwen.writer().write(dir.file("qwen.gguf"));
    VMEngineGateway gw(path);
    ASSERT_TRUE(gw.isReady());
    const auto few = gw.encodeText("hello");
    ASSERT_TRUE(few.has_value());
    EXPECT_FALSE(few->empty());
    std::string longText;
    for (int i = 0; i < 400; ++i) longText += "a b ";
    const auto many = gw.encodeText(longText);
    ASSERT_TRUE(many.has_value());
    EXPECT_EQ(many->size(), 256u);
    EXPECT_EQ(gw.encodeText(""), std::nullopt);
}

TEST(EngineGateway, CreateRegistersTheSharedGatewayAndInitDoesNot) {
    auto created = VMEngineGateway::create(VMEngineGateway::kScaffoldPath);
    EXPECT_EQ(VMEngineGateway::shared(), created);
    VMEngineGateway plain(VMEngineGateway::kScaffoldPath);
    EXPECT_EQ(VMEngineGateway::shared(), created);
    auto later = VMEngineGateway::create(VMEngineGateway::kScaffoldPath);
    EXPECT_EQ(VMEngineGateway::shared(), later);
    later.reset();
    EXPECT_EQ(VMEngineGateway::shared(), nullptr);
}

// Bytes of a character split across engine pieces arrive whole.
TEST(ChatTextSink, JoinsCharactersSplitAcrossPieces) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<std::string> delivered;
    };
    const std::vector<Case> cases = {
        {"ascii", {"he", "llo"}, {"he", "llo"}},
        {"two-byte split", {"caf\xC3", "\xA9!"}, {"caf", "\xC3\xA9!"}},
        {"four-byte over three pieces", {"\xF0\x9F", "\x98", "\x80"}, {"\xF0\x9F\x98\x80"}},
        {"empty and invalid", {"", "a\xFF", "b"}, {"a\xEF\xBF\xBD", "b"}},
        {"cut off at the end", {"ok", "\xE2\x82"}, {"ok", "\xEF\xBF\xBD"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> got;
        ChatTextSink sink([&](const std::string& p) { got.push_back(p); });
        for (const auto& p : c.pieces) ChatTextSink::piece(p.data(), int32_t(p.size()), &sink);
        sink.finish();
        EXPECT_EQ(got, c.delivered);
        std::string joined;
        for (const auto& p : c.delivered) joined += p;
        EXPECT_EQ(sink.text(), joined);
    }
}

} // namespace
} // namespace vivirov::test
