#include <gtest/gtest.h>

#include "VivirovVizivurad/ChatColumn/BubbleContent.h"
#include "VivirovVizivurad/ChatColumn/TranscriptRules.h"
#include "tests/support/ScopedEnv.h"

namespace vivirov::test {
namespace {

using Badge = TranscriptRules::BadgeRow;
using TS = TransactionState;

ChatMessage row(Role role, std::string content = "") {
    ChatMessage m;
    m.id = UUID::random();
    m.role = role;
    m.content = std::move(content);
    return m;
}

TEST(TranscriptRules, EachTransactionStateChoosesItsBadgeRow) {
    struct Case {
        TS state;
        Badge::Kind kind;
        const char* key;
    } cases[] = {
        {TS::idle(), Badge::Kind::none, ""},
        {TS::decodingProse(), Badge::Kind::none, ""},
        {TS::transactionOpen(3, "swift"), Badge::Kind::synthesizing, "synthesizing-indicator"},
        {TS::validating("swift"), Badge::Kind::synthesizing, "synthesizing-indicator"},
        {TS::rollingBack(1), Badge::Kind::synthesizing, "synthesizing-indicator"},
        {TS::penaltyInjected(2), Badge::Kind::synthesizing, "synthesizing-indicator"},
        {TS::executingTool("web_search"), Badge::Kind::tool, "tool-indicator"},
    };
    for (const auto& c : cases) {
        const Badge badge = TranscriptRules::badgeFor(c.state);
        EXPECT_EQ(badge.kind, c.kind);
        EXPECT_EQ(badge.key(), QString::fromLatin1(c.key));
    }
    EXPECT_EQ(TranscriptRules::badgeFor(TS::executingTool("web_search")).toolName, "web_search");
}

TEST(TranscriptRules, OnlyTheLastAssistantRowOfAStreamingPillarStreams) {
    const std::vector<ChatMessage> twoAnswers{row(Role::user), row(Role::assistant), row(Role::assistant)};
    EXPECT_FALSE(TranscriptRules::isStreamingRow(twoAnswers, 1, true));
    EXPECT_TRUE(TranscriptRules::isStreamingRow(twoAnswers, 2, true));
    EXPECT_FALSE(TranscriptRules::isStreamingRow(twoAnswers, 2, false));
    const std::vector<ChatMessage> userLast{row(Role::assistant), row(Role::user)};
    EXPECT_FALSE(TranscriptRules::isStreamingRow(userLast, 1, true));
    const std::vector<ChatMessage> toolLast{row(Role::assistant), row(Role::toolCall)};
    EXPECT_FALSE(TranscriptRules::isStreamingRow(toolLast, 1, true));
}

TEST(TranscriptRules, TheRecallStripNeedsExactlyOne) {
    ScopedEnv env;
    struct Case {
        std::optional<std::string> value;
        bool shown;
    } cases[] = {{"1", true}, {std::nullopt, false}, {" 1", false}, {"01", false}, {"1 ", false}, {"0", false}};
    for (const auto& c : cases) {
        env.set("VIVIROV_SHOW_RECALL", c.value);
        EXPECT_EQ(TranscriptRules::showsRecallStrip(), c.shown) << c.value.value_or("(unset)");
    }
}

TEST(TranscriptRules, AnImagePillNamesTheScaledPixelSize) {
    EXPECT_EQ(TranscriptRules::imagePillLabel("a.png", 336, 210), QString::fromUtf8("a.png \xC2\xB7 336\xC3\x97" "210"));
}

TEST(BubbleContent, TheRendererFollowsRoleStreamingAndSlash) {
    using R = BubbleContent::Renderer;
    struct Case {
        Role role;
        const char* content;
        bool streaming;
        R renderer;
        const char* text;
    } cases[] = {
        {Role::assistant, "growing", true, R::streaming, "growing"},
        {Role::assistant, "", true, R::streaming, ""},
        {Role::assistant, "", false, R::markdown, "\xE2\x80\xA6"},
        {Role::assistant, "see src/a.c or 1/2", false, R::fileCitation, "see src/a.c or 1/2"},
        {Role::assistant, "plain answer", false, R::markdown, "plain answer"},
        {Role::user, "open /etc/hosts", false, R::markdown, "open /etc/hosts"},
        {Role::user, "typed", true, R::markdown, "typed"},
        {Role::user, "", false, R::markdown, ""},
        {Role::toolCall, "", true, R::toolRow, ""},
    };
    for (const auto& c : cases) {
        ChatMessage m = row(c.role, c.content);
        const BubbleContent content = BubbleContent::of(m, c.streaming);
        EXPECT_EQ(content.renderer, c.renderer) << c.content;
        EXPECT_EQ(content.text, QString::fromUtf8(c.text)) << c.content;
    }
    EXPECT_EQ(BubbleContent::cursor, QString::fromUtf8(" \xE2\x96\x8C"));
}

} // namespace
} // namespace vivirov::test
