#include <gtest/gtest.h>

#include "VivirovKit/Agentic/ContextImportanceTracker.h"

using namespace vivirov;

namespace {

ProviderChatMessage msg(ProviderRole role, std::string content) { return ProviderChatMessage::make(role, std::move(content)); }

std::vector<std::string> contents(const std::vector<ProviderChatMessage>& list) {
    std::vector<std::string> out;
    for (const auto& m : list) out.push_back(m.content);
    return out;
}

} // namespace

TEST(HistoryTrimming, ClampsAndEstimates) {
    ContextImportanceTracker t(1000, 0);
    EXPECT_EQ(t.maxTokens(), 2048);
    EXPECT_EQ(t.keepRecentUserTurns(), 1);
    EXPECT_EQ(ContextImportanceTracker(2048, 5).maxTokens(), 2048);
    EXPECT_EQ(ContextImportanceTracker::estimateTokens(std::string("abcde")), 2);
    EXPECT_EQ(ContextImportanceTracker::estimateTokens(std::string()), 0);
    EXPECT_EQ(ContextImportanceTracker::estimateTokens({msg(ProviderRole::user, "ab"), msg(ProviderRole::user, "cd")}), 2);
}

TEST(HistoryTrimming, Scores) {
    ContextImportanceTracker t(4096, 1);
    EXPECT_DOUBLE_EQ(t.score("<tool_result x> result", "tool", 9, 10), 183);
    EXPECT_DOUBLE_EQ(t.score("hi", "user", 0, 10), 4);
    EXPECT_DOUBLE_EQ(t.score("anything", "System", 3, 10), 1'000'000);
    EXPECT_DOUBLE_EQ(t.score("Took the PATH, ok", "user", 0, 1), 40 + 3 + 3);
    EXPECT_DOUBLE_EQ(t.score(std::string(4001, 'z'), "user", 0, 1), 40 - 15);
    EXPECT_DOUBLE_EQ(t.score(std::string(12001, 'z'), "user", 0, 1), 40 - 45);
}

TEST(HistoryTrimming, FittingHistoriesComeBackUnchanged) {
    ContextImportanceTracker t(2048, 1);
    std::vector<ProviderChatMessage> small{msg(ProviderRole::system, "s"), msg(ProviderRole::user, "u")};
    EXPECT_EQ(contents(t.trim(small)), contents(small));
    std::vector<ProviderChatMessage> systems{msg(ProviderRole::system, std::string(20000, 's')),
                                             msg(ProviderRole::system, std::string(20000, 't'))};
    EXPECT_EQ(t.trim(systems).size(), 2u);
    EXPECT_FALSE(t.trimWithSummary(small).summary);
}

TEST(HistoryTrimming, WalkStopsAtTheFirstMessageThatDoesNotFit) {
    // Budget 2048 tokens ~ 8192 bytes. Recent 4 messages are protected.
    ContextImportanceTracker t(2048, 1);
    std::vector<ProviderChatMessage> h{
        msg(ProviderRole::system, "sys"),
        msg(ProviderRole::user, std::string(1000, 'a')),              // low score, small: would fit
        msg(ProviderRole::user, "error: " + std::string(9000, 'b')),  // higher score, too big: ends the walk
        msg(ProviderRole::user, "r1"), msg(ProviderRole::assistant, "r2"),
        msg(ProviderRole::user, "r3"), msg(ProviderRole::assistant, "r4"),
    };
    auto out = t.trim(h);
    EXPECT_EQ(contents(out), (std::vector<std::string>{"sys", "r1", "r2", "r3", "r4"}));
}

TEST(HistoryTrimming, ProtectedSetAloneOverBudgetLosesItsBestMessageThenPrunes) {
    ContextImportanceTracker t(2048, 3); // protects the last 9 body messages
    std::vector<ProviderChatMessage> h{msg(ProviderRole::user, "old")};
    for (int i = 0; i < 9; ++i) h.push_back(msg(ProviderRole::user, std::string(1500, char('a' + i))));
    auto out = t.trim(h);
    EXPECT_LE(ContextImportanceTracker::estimateTokens(out), 2048);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.front().content.rfind("<summary>Earlier context pruned (", 0), 0u);
    int markers = 0;
    for (const auto& m : out) markers += m.content.rfind("<summary>", 0) == 0;
    EXPECT_EQ(markers, 1);
    // The newest message scored highest, so the walk evicted it first.
    EXPECT_NE(out.back().content, std::string(1500, 'i'));
}

TEST(HistoryTrimming, MarkerHoldsTheFirst80CharactersAndPruningEnds) {
    ContextImportanceTracker t(2048, 1);
    std::vector<ProviderChatMessage> h{
        msg(ProviderRole::user, "<summary>an earlier marker</summary>" + std::string(3000, 'm')),
        msg(ProviderRole::user, std::string(3000, 'x')),
        msg(ProviderRole::tool, std::string(3000, 't')),
        msg(ProviderRole::tool, std::string(3000, 'u')),
    };
    auto out = t.trim(h); // must terminate even though a marker heads the list
    EXPECT_LE(out.size(), h.size());
    std::vector<ProviderChatMessage> h2{msg(ProviderRole::user, "short first words"),
                                       msg(ProviderRole::tool, std::string(5000, 't')),
                                       msg(ProviderRole::tool, std::string(5000, 'u')),
                                       msg(ProviderRole::tool, "last")};
    auto out2 = t.trim(h2);
    EXPECT_EQ(out2.front().content, "<summary>Earlier context pruned (short first words…)</summary>");
}

TEST(HistoryTrimming, NativeToolExchangesStayWhole) {
    ContextImportanceTracker t(2048, 1);
    ProviderChatMessage call = msg(ProviderRole::assistant, std::string(6000, 'c'));
    call.toolCalls = std::vector<ProviderToolCall>{{"call_1", "read_file", {{"path", "a"}}}};
    ProviderChatMessage answer = msg(ProviderRole::tool, "file text");
    answer.toolCallID = "call_1";
    std::vector<ProviderChatMessage> h{msg(ProviderRole::user, "task"), call, answer,
                                       msg(ProviderRole::user, std::string(3000, 'q')),
                                       msg(ProviderRole::assistant, "a"), msg(ProviderRole::user, "b"),
                                       msg(ProviderRole::assistant, "c")};
    auto out = t.trim(h);
    bool hasCall = false, hasAnswer = false;
    for (const auto& m : out) {
        hasCall |= m.toolCalls.has_value();
        hasAnswer |= m.toolCallID.has_value();
    }
    EXPECT_EQ(hasCall, hasAnswer);
    EXPECT_LE(ContextImportanceTracker::estimateTokens(out), 2048);
}

TEST(HistoryTrimming, SummaryLines) {
    std::vector<ProviderChatMessage> seven;
    for (int i = 0; i < 7; ++i) seven.push_back(msg(ProviderRole::user, "m" + std::to_string(i)));
    seven[1].content = std::string(61, 'x');
    seven[2].content = "line\nbreak";
    seven[3].content = std::string(60, 'y');
    EXPECT_EQ(ContextImportanceTracker::summarizeDropped(seven),
              "7 msgs — user: m0 · user: " + std::string(60, 'x') + "… · user: line break · user: " + std::string(60, 'y'));
    EXPECT_EQ(ContextImportanceTracker::summarizeDropped({}), "earlier turns");

    // Only twins removed: the compacted form with both counts.
    ContextImportanceTracker t(2048, 1);
    std::vector<ProviderChatMessage> h;
    for (int i = 0; i < 3; ++i) h.push_back(msg(ProviderRole::user, std::string(4000, 'd')));
    for (int i = 0; i < 4; ++i) h.push_back(msg(ProviderRole::assistant, "k" + std::to_string(i)));
    auto r = t.trimWithSummary(h);
    ASSERT_TRUE(r.summary);
    EXPECT_EQ(*r.summary, "📝 Summarized: older context compacted (7→" + std::to_string(r.messages.size()) + " msgs)");
}
