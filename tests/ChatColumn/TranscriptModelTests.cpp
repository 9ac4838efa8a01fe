#include <gtest/gtest.h>

#include "VivirovVizivurad/ChatColumn/TranscriptModel.h"
#include "tests/ChatColumn/ColumnFixture.h"

namespace vivirov::test {
namespace {

class TranscriptModelFlow : public ColumnFixture {
protected:
    TranscriptModelFlow() {
        QObject::connect(&model, &TranscriptModel::updated,
                         [this](const TranscriptModel::Update& u) { updates.push_back(u); });
    }
    // Publishes what is pending and returns it (an empty update when nothing was).
    TranscriptModel::Update flush() {
        updates.clear();
        model.flushNow();
        return updates.empty() ? TranscriptModel::Update{} : updates.back();
    }

    TranscriptModel model{vm->chatContext()};
    std::vector<TranscriptModel::Update> updates;
};

TEST_F(TranscriptModelFlow, FollowsTheLastMessageTextAndNothingElse) {
    const ChatMessage question = chatRow(Role::user, "hi");
    pillar().setMessages({question});
    auto u = flush();
    EXPECT_TRUE(u.structural);
    EXPECT_TRUE(u.scrollToBottom);

    // An empty answer row after the question: its text differs, so it scrolls.
    ChatMessage answer = chatRow(Role::assistant);
    pillar().appendMessage(answer);
    pillar().setStreaming(true);
    u = flush();
    EXPECT_TRUE(u.scrollToBottom);
    ASSERT_EQ(model.rows().size(), 2u);
    EXPECT_TRUE(model.rows()[1].streaming);

    pillar().append("Hel", answer.id);
    u = flush();
    EXPECT_FALSE(u.structural);
    EXPECT_EQ(u.changedRows, std::vector<int>{1});
    EXPECT_TRUE(u.scrollToBottom);

    // An update that leaves the text as it was, or a change of state alone,
    // does not move the list.
    pillar().append("", answer.id);
    u = flush();
    EXPECT_FALSE(u.scrollToBottom);
    pillar().setTransactionState(TransactionState::executingTool("web_search"));
    u = flush();
    EXPECT_TRUE(u.badgeChanged);
    EXPECT_FALSE(u.scrollToBottom);
    EXPECT_EQ(model.badge().key(), "tool-indicator");

    // Streaming ends: the last row changes form, the list stays put.
    pillar().setStreaming(false);
    u = flush();
    EXPECT_EQ(u.changedRows, std::vector<int>{1});
    EXPECT_FALSE(model.rows()[1].streaming);
    EXPECT_FALSE(u.scrollToBottom);
}

TEST_F(TranscriptModelFlow, ABurstOfFlushesIsPublishedOnceNamingOnlyTheLastRow) {
    std::vector<ChatMessage> rows;
    for (int i = 0; i < 300; ++i) rows.push_back(chatRow(i % 2 ? Role::assistant : Role::user, "row"));
    ChatMessage answer = chatRow(Role::assistant);
    rows.push_back(answer);
    pillar().setMessages(rows);
    pillar().setStreaming(true);
    flush();
    updates.clear();

    for (int i = 0; i < 12; ++i) pillar().append("abcd", answer.id);
    EXPECT_TRUE(model.hasPending());
    ASSERT_TRUE(qtWaitUntil([&] { return !updates.empty(); }));
    ASSERT_EQ(updates.size(), 1u) << "one publication per frame";
    EXPECT_EQ(updates[0].changedRows, std::vector<int>{300});
    EXPECT_FALSE(updates[0].structural);
    std::string expected;
    for (int i = 0; i < 12; ++i) expected += "abcd";
    EXPECT_EQ(model.rows().back().message.content, expected);
}

TEST_F(TranscriptModelFlow, RowsAreMatchedByIdAcrossReplacement) {
    const ChatMessage a = chatRow(Role::user, "a");
    ChatMessage b = chatRow(Role::assistant, "b");
    pillar().setMessages({a, b});
    flush();
    b.content = "b2";
    const ChatMessage c = chatRow(Role::user, "c");
    pillar().setMessages({a, b, c});
    const auto u = flush();
    EXPECT_TRUE(u.structural);
    EXPECT_EQ(u.changedRows, std::vector<int>{1}) << "a is untouched, c is new";
    pillar().setMessages({});
    const auto cleared = flush();
    EXPECT_TRUE(cleared.structural);
    EXPECT_FALSE(cleared.scrollToBottom) << "an empty list has nothing to follow";
}

} // namespace
} // namespace vivirov::test
