// One chat turn over a scripted multi-sequence model: how many pieces a
// budget yields, the markers that end delivery, prompt ids, piece texts and a
// stop asked from the callback.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "engine/vm_cabi/bpe_tokenizer.h"
#include "engine/vm_cabi/gguf_file.h"
#include "engine/vm_v2/chat_turn.h"
#include "tests/EngineV2/ScriptedSlotModel.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;
using vivirov::ChatTurnStats;
using vivirov::run_chat_turn;

namespace {

struct Pieces {
    std::vector<std::string> texts;
    std::atomic<bool>* stopAfter5 = nullptr;
    static void cb(const char* bytes, int32_t len, void* user) {
        auto* self = static_cast<Pieces*>(user);
        self->texts.emplace_back(bytes, size_t(len));
        if (self->stopAfter5 && self->texts.size() == 5) self->stopAfter5->store(true);
    }
};

TEST(ChatTurn, BudgetDecidesThePiecesAndTheRestIsDecodedSilently) {
    struct Case {
        int32_t maxTokens;
        int32_t pieces;
        uint64_t decoded; // tokens the scheduler decoded, delivered or not
    };
    const Case cases[] = {{0, 1, 1}, {1, 1, 1}, {2, 2, 2}, {48, 48, 48}, {100, 64, 64}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxTokens);
        ScriptedSlotModel m;
        Pieces p;
        ChatTurnStats stats;
        const int32_t n = run_chat_turn(m.model(), nullptr, "hi", c.maxTokens, &Pieces::cb, &p, nullptr, stats);
        EXPECT_EQ(n, c.pieces);
        EXPECT_EQ(p.texts.size(), size_t(c.pieces));
        EXPECT_EQ(stats.sched_tokens, c.decoded);
        EXPECT_EQ(m.initSlots, 16);
        // A lone slot never waits for companions: one row per decode call.
        for (int b : m.batchSizes) EXPECT_EQ(b, 1);
    }
}

TEST(ChatTurn, AnEndMarkerStopsDeliveryButNotTheSlotsBudget) {
    for (int marker : {0, 1}) {
        SCOPED_TRACE(marker);
        ScriptedSlotModel m;
        int calls = 0;
        m.next = [&](int, int t) { return ++calls == 2 ? marker : t + 1; };
        Pieces p;
        ChatTurnStats stats;
        EXPECT_EQ(run_chat_turn(m.model(), nullptr, nullptr, 20, &Pieces::cb, &p, nullptr, stats), 3);
        EXPECT_EQ(p.texts, (std::vector<std::string>{"[10]", "[11]", "[" + std::to_string(marker) + "]"}));
        EXPECT_EQ(stats.sched_tokens, 20u);
    }
    // The prefill's token is delivered without the marker test.
    ScriptedSlotModel m;
    m.first = 1;
    Pieces p;
    ChatTurnStats stats;
    EXPECT_EQ(run_chat_turn(m.model(), nullptr, nullptr, 4, &Pieces::cb, &p, nullptr, stats), 4);
}

TEST(ChatTurn, PromptIdsFallBackToOneToEightAndKeepTheLastSixtyFour) {
    ScriptedSlotModel m;
    ChatTurnStats stats;
    run_chat_turn(m.model(), nullptr, "no tokenizer", 1, nullptr, nullptr, nullptr, stats);
    EXPECT_EQ(m.prefills.at(0), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8}));

    TempDir dir;
    QwenModel qwen(QwenShape{});
    GGUFFile file(qwen.writer().write(dir.file("t.gguf")));
    BPETokenizer tok(file);
    run_chat_turn(m.model(320), &tok, "", 1, nullptr, nullptr, nullptr, stats);
    EXPECT_EQ(m.prefills.at(1).size(), 8u);

    std::string text;
    for (int i = 0; i < 100; ++i) text += i % 2 ? " world" : "hello";
    const std::vector<int32_t> all = tok.encode(text);
    ASSERT_GT(all.size(), 64u);
    run_chat_turn(m.model(320), &tok, text.c_str(), 1, nullptr, nullptr, nullptr, stats);
    EXPECT_EQ(m.prefills.at(2), std::vector<int32_t>(all.end() - 64, all.end()));
    EXPECT_EQ(stats.prompt_ids, 64u);
}

TEST(ChatTurn, PiecesUseTheTokenizerOrTheBracketedId) {
    TempDir dir;
    QwenModel qwen(QwenShape{});
    GGUFFile file(qwen.writer().write(dir.file("t.gguf")));
    BPETokenizer tok(file);
    const int32_t hello = tok.encode("hello").at(0);
    ScriptedSlotModel m;
    m.first = hello;
    Pieces withTok, without;
    ChatTurnStats stats;
    run_chat_turn(m.model(320), &tok, "hi", 1, &Pieces::cb, &withTok, nullptr, stats);
    m.first = 42;
    run_chat_turn(m.model(320), nullptr, "hi", 1, &Pieces::cb, &without, nullptr, stats);
    EXPECT_EQ(withTok.texts, std::vector<std::string>{"hello"});
    EXPECT_EQ(without.texts, std::vector<std::string>{"[42]"});
}

TEST(ChatTurn, FailedPrefillAnswersMinusTwo) {
    ScriptedSlotModel m;
    m.failSlot = 0;
    Pieces p;
    ChatTurnStats stats;
    EXPECT_EQ(run_chat_turn(m.model(), nullptr, "hi", 8, &Pieces::cb, &p, nullptr, stats), -2);
    EXPECT_TRUE(p.texts.empty());
}

TEST(ChatTurn, AStopFromTheCallbackEndsTheTurnWithinOneStep) {
    ScriptedSlotModel m;
    std::atomic<bool> stop{false};
    Pieces p;
    p.stopAfter5 = &stop;
    ChatTurnStats stats;
    EXPECT_EQ(run_chat_turn(m.model(), nullptr, "hi", 64, &Pieces::cb, &p, &stop, stats), 5);
    EXPECT_EQ(p.texts.size(), 5u);
    EXPECT_EQ(stats.sched_tokens, 4u); // nothing decoded after the stop
}

} // namespace
