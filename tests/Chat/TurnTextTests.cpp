#include <gtest/gtest.h>

#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/Chat/ProviderGeneration.h"

namespace vivirov::test {
namespace {

ChatMessage row(Role role, std::string content, std::optional<std::string> tool = std::nullopt,
                std::optional<std::string> result = std::nullopt) {
    ChatMessage m;
    m.id = UUID::random();
    m.role = role;
    m.content = std::move(content);
    m.toolName = std::move(tool);
    m.toolResult = std::move(result);
    return m;
}

std::vector<std::pair<ProviderRole, std::string>> entries(const std::vector<ProviderChatMessage>& history) {
    std::vector<std::pair<ProviderRole, std::string>> out;
    for (const auto& m : history) out.emplace_back(m.role, m.content);
    return out;
}

TEST(TurnText, HistoryMapsRowsDropsThePlaceholderAndTakesTheObjective) {
    std::vector<ChatMessage> rows = {row(Role::user, "first"), row(Role::assistant, "answer"),
                                     row(Role::toolCall, "shown", "read_file", "x"),
                                     row(Role::toolCall, "its content"), row(Role::user, "hi"),
                                     row(Role::assistant, "")};
    auto history = turn::providerHistory(rows);
    using P = ProviderRole;
    EXPECT_EQ(entries(history), (std::vector<std::pair<P, std::string>>{{P::user, "first"},
                                                                        {P::assistant, "answer"},
                                                                        {P::assistant, "[tool read_file] x"},
                                                                        {P::assistant, "[tool ?] its content"},
                                                                        {P::user, "hi"}}));
    for (const auto& m : history) EXPECT_FALSE(m.toolCalls || m.toolCallID || m.toolName);

    auto provider = history;
    turn::replaceLastUserEntry(provider, "Attached file a.txt:\n```\nx\n```\n\nhi");
    EXPECT_EQ(provider.back().content, "Attached file a.txt:\n```\nx\n```\n\nhi");
    EXPECT_NE(provider.back().id, history.back().id);
    EXPECT_EQ(provider.front().content, "first");

    // The agentic loop sends the objective itself: the user text must not come twice.
    auto agentic = history;
    turn::dropLastUserEntry(agentic);
    ASSERT_EQ(agentic.size(), 4u);
    EXPECT_EQ(agentic.back().content, "[tool ?] its content");

    std::vector<ProviderChatMessage> none = turn::providerHistory({row(Role::assistant, "")});
    turn::replaceLastUserEntry(none, "x");
    turn::dropLastUserEntry(none);
    EXPECT_TRUE(none.empty());
}

TEST(TurnText, AttachmentPrefixIsFencedBlocksThenABlankLine) {
    EXPECT_EQ(turn::attachmentsPrefix({}), "");
    std::vector<Attachment> files = {{UUID::random(), "a.txt", "x"}, {UUID::random(), "b.md", "y"}};
    EXPECT_EQ(turn::attachmentsPrefix(files) + "hi",
              "Attached file a.txt:\n```\nx\n```\n\nAttached file b.md:\n```\ny\n```\n\nhi");
}

TEST(TurnText, PlanWrapperAndIterationLimits) {
    EXPECT_EQ(turn::planObjective("tidy up"),
              "PLAN MODE (read-only): tidy up\n\nAnalyze and plan, but do NOT write files or execute "
              "state-changing commands. Use read_file, list_files, and search tools only.");
    struct Case {
        bool god, continuous;
        const char* provider;
        int limit;
    } cases[] = {{true, true, "anthropic", 32},    {true, false, "rizeru-local", 32},
                 {false, true, "rizeru-local", 20}, {false, false, "rizeru-local", 16},
                 {false, false, "rizeru-rozazu", 16}, {false, false, "openai", 10},
                 {false, false, "derevududuv", 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.provider);
        EXPECT_EQ(turn::iterationLimit(c.god, c.continuous, c.provider), c.limit);
    }
}

TEST(TurnText, PathFollowsProviderModesAndASecondReadingOfTheProvider) {
    using turn::TurnPath;
    struct Case {
        const char* provider;
        bool continuous, ask, web;
        const char* again; // the provider read a second time
        TurnPath path;
    } cases[] = {
        {"derevududuv", false, true, false, "derevududuv", TurnPath::inProcessAsk},
        {"rizeru-local", false, true, false, "rizeru-local", TurnPath::localServerAsk},
        {"rizeru-rozazu", false, true, false, "rizeru-rozazu", TurnPath::localServerAsk},
        {"anthropic", false, true, false, "anthropic", TurnPath::agentic},
        {"anthropic", false, true, false, "derevududuv", TurnPath::none},
        {"derevududuv", true, true, false, "derevududuv", TurnPath::agentic},
        {"derevududuv", false, false, false, "derevududuv", TurnPath::agentic},
        {"rizeru-local", false, true, true, "rizeru-local", TurnPath::agentic},
        {"openai", false, false, true, "derevududuv", TurnPath::agentic},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.provider) + " again " + c.again);
        int reads = 0;
        const auto choice = turn::choosePath(c.provider, c.continuous, c.ask, c.web, [&] {
            ++reads;
            return std::string(c.again);
        });
        EXPECT_EQ(choice.path, c.path);
        EXPECT_EQ(reads, c.path == TurnPath::none || (c.path == TurnPath::agentic && c.ask && !c.continuous &&
                                                       !c.web) ? 1 : 0);
        if (c.path == TurnPath::none) EXPECT_EQ(choice.providerID, "derevududuv");
    }
    EXPECT_EQ(turn::noGenerationPathLine("derevududuv"),
              "[vivirov] send: no generation path for provider derevududuv (not derevududuv-Ask, not agentic) "
              "\xE2\x80\x94 ignored");
}

TEST(TurnText, CatalogueNoticeListsKindsInFixedOrderAndIsAddedOnce) {
    const std::string answer = "Rs 40 each, 40 pcs left";
    const std::string guarded = turn::fabricationGuarded(answer);
    EXPECT_EQ(guarded, answer +
                           "\n\n> \xE2\x9A\xA0\xEF\xB8\x8F **Unverified catalogue data (price, stock).** The price, "
                           "stock above were not fetched from the live catalogue \xE2\x80\x94 treat them as "
                           "unverified. Ask me to pull current numbers from Shopify/Flipkart before relying on them.");
    EXPECT_EQ(turn::fabricationGuarded(guarded), guarded);
    EXPECT_EQ(turn::fabricationGuarded("Happy to help."), "Happy to help.");

    using F = FabricationGuard::Finding;
    EXPECT_EQ(turn::orderedKinds({F{"stock", "5 pcs"}, F{"SKU", "AB-12"}, F{"price", "Rs 4"}, F{"stock", "6 pcs"},
                                  F{"colour", "red"}}),
              "SKU, price, stock");
}

TEST(TurnText, FinalLineIsOneLineOfAtMost420Characters) {
    EXPECT_EQ(turn::finalLogLine(ConversationKind::cowork, "openai", "a\nb\n"), "[vivirov] FINAL[pillar:cowork/openai]: a b ");
    std::string longAnswer;
    for (int i = 0; i < 500; ++i) longAnswer += "\xC3\xA9\n"; // é and a line feed
    const std::string line = turn::finalLogLine(ConversationKind::chat, "x", longAnswer);
    const std::string prefix = "[vivirov] FINAL[pillar:chat/x]: ";
    ASSERT_TRUE(line.starts_with(prefix));
    const std::string body = line.substr(prefix.size());
    EXPECT_EQ(text::graphemeCount(body), 420u);
    EXPECT_EQ(body.find('\n'), std::string::npos);
}

} // namespace
} // namespace vivirov::test
