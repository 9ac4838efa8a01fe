// The request pipeline on the scaffold engine, whose step answers
// (token + 1) mod 128: counts and finals, pause and resume, agents that are
// unknown or duplicated, decimal pieces, full rings, a step fault and destroy
// in flight.
#include <gtest/gtest.h>

#include <numeric>
#include <thread>

#include "tests/EngineV2/EngineV2Harness.h"
#include "tests/support/StderrCapture.h"

using namespace vivirov::test;

namespace {

class ScaffoldPipeline : public ::testing::Test {
protected:
    void SetUp() override {
        w = vivirov_vm_v2_create("scaffold://no-model");
        ASSERT_NE(w, nullptr);
        gate = std::make_unique<StepGate>(w);
        ASSERT_EQ(vivirov_vm_v2_register_token_cb(w, &Recorder::piece, &rec), 1);
    }
    void TearDown() override {
        if (gate) gate->open();
        vivirov_vm_v2_destroy(w);
    }
    int32_t infer(uint32_t agent, const std::vector<uint32_t>& ids, int tag) {
        return vivirov_vm_v2_infer_async(w, agent, ids.data(), uint32_t(ids.size()), &Recorder::hook,
                                         rec.request(tag));
    }
    std::vector<int32_t> tokensOf(int tag) const {
        std::vector<int32_t> out;
        for (const auto& e : rec.hooksOf(tag)) out.push_back(e.token);
        return out;
    }
    static std::vector<int32_t> run(int32_t first, int n) {
        std::vector<int32_t> out;
        for (int i = 0; i < n; ++i) out.push_back((first + i) % 128);
        return out;
    }

    EngineWrapper* w = nullptr;
    Recorder rec;
    std::unique_ptr<StepGate> gate;
};

TEST_F(ScaffoldPipeline, EveryRequestYieldsThirtyTwoTokensWithOnlyTheLastFinal) {
    struct Case {
        const char* name;
        std::vector<uint32_t> ids;
        int32_t first; // the first generated token
    };
    std::vector<uint32_t> sixtyFive(65);
    std::iota(sixtyFive.begin(), sixtyFive.end(), 0u);
    const Case cases[] = {
        {"no ids start from token 0", {}, 1},
        {"one id", {5}, 6},
        {"a prompt continues from its last id", {40, 41, 7}, 8},
        {"65 ids keep the last 64", sixtyFive, 65},
        {"the vocabulary wraps to 0", {127}, 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) ASSERT_EQ(infer(uint32_t(i + 1), cases[i].ids, int(i)), 1);
    ASSERT_TRUE(rec.waitForFinals(std::size(cases)));
    ASSERT_TRUE(waitUntil([&] { return rec.pieces().size() == 32 * std::size(cases); })); // pieces trail hooks

    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const auto events = rec.hooksOf(int(i));
        ASSERT_EQ(events.size(), 32u);
        EXPECT_EQ(tokensOf(int(i)), run(cases[i].first, 32));
        for (size_t k = 0; k < events.size(); ++k) EXPECT_EQ(events[k].final, k == 31) << k;

        // Without a tokenizer each piece is the id in decimal and a blank.
        std::vector<std::string> texts;
        bool lastFinal = false;
        for (const auto& p : rec.pieces())
            if (p.agent == i + 1) texts.push_back(p.text), lastFinal = p.final;
        ASSERT_EQ(texts.size(), 32u);
        for (size_t k = 0; k < 32; ++k) EXPECT_EQ(texts[k], std::to_string(run(cases[i].first, 32)[k]) + " ");
        EXPECT_TRUE(lastFinal);
    }
}

TEST_F(ScaffoldPipeline, PieceTextIsTheUnsignedDecimalId) {
    gate->answer(1234);
    ASSERT_EQ(infer(1, {3}, 0), 1);
    ASSERT_TRUE(waitUntil([&] { return rec.pieces().size() == 32; }));
    const auto pieces = rec.pieces();
    ASSERT_EQ(pieces.size(), 32u);
    EXPECT_EQ(pieces.front().text, "1234 ");
}

TEST_F(ScaffoldPipeline, PauseEndsWithMinusOneAndResumeFinishesTheRemainingTokens) {
    gate->close();
    ASSERT_EQ(infer(1, {5}, 0), 1);
    gate->allow(3);
    ASSERT_TRUE(waitUntil([&] { return rec.hooks().size() == 3; }));
    ASSERT_TRUE(gate->waitForWaiter()); // held inside the fourth step
    ASSERT_EQ(vivirov_vm_v2_pause(w, 1), 1);
    gate->open();
    ASSERT_TRUE(rec.waitForFinals(1));

    auto events = rec.hooksOf(0);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[4].token, -1);
    EXPECT_TRUE(events[4].final);
    ASSERT_TRUE(waitUntil([&] { return rec.pieces().size() == 5; }));
    EXPECT_EQ(rec.pieces()[4].text, "");
    EXPECT_TRUE(rec.pieces()[4].final);

    ASSERT_EQ(vivirov_vm_v2_resume(w, 1), 1);
    ASSERT_TRUE(rec.waitForFinals(2));
    std::vector<int32_t> expected = run(6, 4);
    expected.push_back(-1);
    for (int32_t t : run(10, 28)) expected.push_back(t);
    EXPECT_EQ(tokensOf(0), expected);
    EXPECT_TRUE(rec.hooksOf(0).back().final);
}

TEST_F(ScaffoldPipeline, PauseOrResumeOfAnAgentWithNothingToDoChangesNothing) {
    ASSERT_EQ(vivirov_vm_v2_pause(w, 99), 1);
    ASSERT_EQ(vivirov_vm_v2_resume(w, 98), 1);
    ASSERT_EQ(infer(1, {0}, 0), 1);
    ASSERT_TRUE(rec.waitForFinals(1));
    EXPECT_EQ(rec.hooks().size(), 32u);
}

TEST_F(ScaffoldPipeline, DuplicateAgentsPauseInListOrderAndAReplacedPauseIsGone) {
    gate->close();
    ASSERT_EQ(infer(100, {0}, 100), 1);
    ASSERT_TRUE(gate->waitForWaiter());
    // Taken in one drain while the pump is held: the first pause takes the
    // earlier request of agent 7, the second the later one (replacing the
    // first in the paused table), and the resume continues the later one.
    ASSERT_EQ(infer(7, {10}, 1), 1);
    ASSERT_EQ(infer(7, {50}, 2), 1);
    ASSERT_EQ(vivirov_vm_v2_pause(w, 7), 1);
    ASSERT_EQ(vivirov_vm_v2_pause(w, 7), 1);
    ASSERT_EQ(vivirov_vm_v2_resume(w, 7), 1);
    gate->open();
    ASSERT_TRUE(rec.waitForFinals(4));

    EXPECT_EQ(tokensOf(1), std::vector<int32_t>{-1});
    std::vector<int32_t> later{-1};
    for (int32_t t : run(51, 32)) later.push_back(t);
    EXPECT_EQ(tokensOf(2), later);
    EXPECT_EQ(tokensOf(100), run(1, 32));
    // Nothing more arrives for the replaced request.
    vivirov_vm_v2_destroy(w);
    w = nullptr;
    EXPECT_EQ(tokensOf(1).size(), 1u);
}

TEST_F(ScaffoldPipeline, IdsOutsideTheVocabularyAreRefusedAtTheBoundary) {
    EXPECT_EQ(infer(1, {5, 128}, 0), 0);
    EXPECT_EQ(infer(1, {0xFFFFFFFFu}, 0), 0); // an encoder's -1
    EXPECT_EQ(vivirov_vm_v2_infer_async(w, 1, nullptr, 2, &Recorder::hook, rec.request(0)), 0);
    EXPECT_EQ(vivirov_vm_v2_infer_async(w, 1, nullptr, 0, &Recorder::hook, rec.request(1)), 1);
    ASSERT_TRUE(rec.waitForFinals(1));
    EXPECT_TRUE(rec.hooksOf(0).empty());
}

TEST_F(ScaffoldPipeline, NullHandlesAndMissingTokenizerAreRefused) {
    uint32_t out[4];
    EXPECT_EQ(vivirov_vm_v2_encode(w, "hello", out, 4), -1); // the scaffold has no tokenizer
    EXPECT_EQ(vivirov_vm_v2_encode(nullptr, "hello", out, 4), -1);
    EXPECT_EQ(vivirov_vm_v2_register_token_cb(nullptr, &Recorder::piece, &rec), 0);
    EXPECT_EQ(vivirov_vm_v2_infer_async(nullptr, 1, out, 1, nullptr, nullptr), 0);
    EXPECT_EQ(vivirov_vm_v2_pause(nullptr, 1), 0);
    EXPECT_EQ(vivirov_vm_v2_resume(nullptr, 1), 0);
    EXPECT_EQ(vivirov_vm_v2_pump_status(nullptr, nullptr, 0), -1);
    vivirov_vm_v2_destroy(nullptr);
}

TEST_F(ScaffoldPipeline, ClearedCallbackDropsPiecesWhileHooksStillRun) {
    ASSERT_EQ(vivirov_vm_v2_register_token_cb(w, nullptr, nullptr), 1);
    ASSERT_EQ(infer(1, {1}, 0), 1);
    ASSERT_TRUE(rec.waitForFinals(1));
    EXPECT_EQ(rec.hooks().size(), 32u);
    EXPECT_TRUE(rec.pieces().empty());
}

// A hook that blocks until released: the result thread stops, the result
// ring fills, and the pump waits for room without dropping anything.
struct BlockingHook {
    std::mutex mu;
    std::condition_variable cv;
    bool released = false;
    std::atomic<int> calls{0};
    std::atomic<int> finals{0};
    static void hook(uint32_t, int32_t, bool final, void* ctx) {
        auto* b = static_cast<BlockingHook*>(ctx);
        std::unique_lock lock(b->mu);
        b->cv.wait(lock, [&] { return b->released; });
        b->calls.fetch_add(1);
        if (final) b->finals.fetch_add(1);
    }
    void release() {
        std::lock_guard lock(mu);
        released = true;
        cv.notify_all();
    }
};

TEST_F(ScaffoldPipeline, FullRingsRefuseCommandsAtOnceAndLoseNoResult) {
    BlockingHook blocker;
    constexpr int agents = 40; // 1280 results: more than the result ring holds
    for (int a = 0; a < agents; ++a) {
        const uint32_t id = uint32_t(a);
        ASSERT_EQ(vivirov_vm_v2_infer_async(w, uint32_t(a), &id, 1, &BlockingHook::hook, &blocker), 1);
    }
    auto& e = w->engine;
    ASSERT_TRUE(waitUntil([&] {
        return e.res_head_.value.load() - e.res_tail_.value.load() == vivirov::kRingSlots &&
               e.cmd_tail_.value.load() == uint64_t(agents);
    }));
    // The pump is stalled on the result ring, so commands pile up.
    int queued = 0;
    while (vivirov_vm_v2_pause(w, 999) == 1) ++queued;
    EXPECT_EQ(queued, 1024);
    const uint32_t id = 1;
    EXPECT_EQ(vivirov_vm_v2_infer_async(w, 500, &id, 1, &BlockingHook::hook, &blocker), 0);
    EXPECT_EQ(vivirov_vm_v2_resume(w, 999), 0);

    blocker.release();
    ASSERT_TRUE(waitUntil([&] { return blocker.finals.load() == agents; }));
    EXPECT_EQ(blocker.calls.load(), agents * 32);
    // Room again once the pump drains.
    ASSERT_TRUE(waitUntil([&] { return vivirov_vm_v2_pause(w, 999) == 1; }));
}

TEST_F(ScaffoldPipeline, StepFaultEndsEveryActiveRequestAndHaltsThePump) {
    char text[64];
    EXPECT_EQ(vivirov_vm_v2_pump_status(w, text, sizeof text), VIVIROV_VM_V2_PUMP_RUNNING);
    EXPECT_STREQ(text, "");

    gate->close();
    ASSERT_EQ(infer(1, {5}, 1), 1);
    ASSERT_TRUE(gate->waitForWaiter());
    ASSERT_EQ(infer(2, {9}, 2), 1);
    gate->failAfter(4); // two passes over both requests, then a fault
    StderrCapture err;
    gate->open();
    ASSERT_TRUE(rec.waitForFinals(2));

    for (int tag : {1, 2}) {
        const auto events = rec.hooksOf(tag);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().token, -1);
        EXPECT_TRUE(events.back().final);
        for (size_t k = 0; k + 1 < events.size(); ++k) EXPECT_FALSE(events[k].final);
    }
    EXPECT_EQ(vivirov_vm_v2_pump_status(w, text, sizeof text), VIVIROV_VM_V2_PUMP_HALTED);
    EXPECT_STREQ(text, "injected step fault");
    char small[8];
    vivirov_vm_v2_pump_status(w, small, sizeof small);
    EXPECT_STREQ(small, "injecte");
    EXPECT_NE(err.text().find("[vm_v2] forward pump fault: injected step fault — inference halted, app stays up"),
              std::string::npos);

    // Commands are still accepted and never carried out.
    const size_t before = rec.hooks().size();
    EXPECT_EQ(infer(3, {1}, 3), 1);
    EXPECT_EQ(vivirov_vm_v2_pause(w, 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rec.hooks().size(), before);
}

TEST_F(ScaffoldPipeline, FaultWhileFeedingAPromptStillEndsThatRequest) {
    gate->failAfter(2); // the second prompt id
    ASSERT_EQ(infer(3, {1, 2, 3, 4}, 3), 1);
    ASSERT_TRUE(rec.waitForFinals(1));
    const auto events = rec.hooksOf(3);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].token, -1);
    EXPECT_TRUE(events[0].final);
    EXPECT_EQ(vivirov_vm_v2_pump_status(w, nullptr, 0), VIVIROV_VM_V2_PUMP_HALTED);
}

TEST_F(ScaffoldPipeline, DestroyInFlightEndsAfterThePassAndDeliversQueuedResults) {
    gate->close();
    for (uint32_t a = 1; a <= 4; ++a) ASSERT_EQ(infer(a, {a}, int(a)), 1);
    gate->allow(10);
    ASSERT_TRUE(waitUntil([&] { return gate->steps() == 10; }));
    ASSERT_TRUE(gate->waitForWaiter());

    std::thread destroyer([&] { vivirov_vm_v2_destroy(w); });
    ASSERT_TRUE(waitUntil([&] { return !w->engine.running_.load(); }));
    gate->open(); // the pump finishes its pass, then stops
    destroyer.join();
    w = nullptr;

    // Every step's result reached its hook and its piece; none finished.
    EXPECT_EQ(int(rec.hooks().size()), gate->steps());
    EXPECT_EQ(rec.pieces().size(), rec.hooks().size());
    EXPECT_EQ(rec.finals(), 0u);
}

TEST(EngineV2Create, NullPathIsRefusedAndReadBack) {
    char text[64] = "x";
    EXPECT_EQ(vivirov_vm_v2_create(nullptr), nullptr);
    EXPECT_EQ(vivirov_vm_v2_last_create_error(text, sizeof text), 1);
    EXPECT_STREQ(text, "no model path");
    EngineWrapper* w = vivirov_vm_v2_create("scaffold://no-model");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(vivirov_vm_v2_last_create_error(text, sizeof text), 0);
    EXPECT_STREQ(text, "");
    vivirov_vm_v2_destroy(w);
}

} // namespace
