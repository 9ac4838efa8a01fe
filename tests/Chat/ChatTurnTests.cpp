#include <gtest/gtest.h>

#include <algorithm>

#include "VivirovKit/Support/Text.h"
#include "tests/Chat/TurnFixture.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {
namespace {

const std::string kWarn = "\n\xE2\x9A\xA0\xEF\xB8\x8F ";

size_t countOf(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}

using Chat = TurnFixture;

TEST_F(Chat, BlankInputOrARunningTurnLeavesEverythingAsItWas) {
    auto& vm = build();
    vm.setInput(" \n\t ");
    vm.send();
    EXPECT_TRUE(vm.chatContext().messages().empty());
    EXPECT_EQ(vm.input(), " \n\t ");

    for (PillarContext* busy : {&vm.chatContext(), &vm.coworkContext()}) {
        busy->setStreaming(true);
        vm.setInput("hello");
        vm.send();
        EXPECT_TRUE(vm.chatContext().messages().empty());
        EXPECT_TRUE(vm.coworkContext().messages().empty());
        EXPECT_EQ(vm.input(), "hello");
        busy->setStreaming(false);
    }

    // Quick Ask: blanks change nothing, a padded text goes to the chat route trimmed.
    vm.setActiveRoute(AppRoute::cowork);
    vm.setRoute(QuintoraViewModel::Route::settings);
    vm.submitQuickAsk("   \n");
    EXPECT_EQ(vm.activeRoute(), AppRoute::cowork);
    EXPECT_EQ(vm.route(), QuintoraViewModel::Route::settings);
    vm.submitQuickAsk("  what now?  ");
    EXPECT_EQ(vm.activeRoute(), AppRoute::chat);
    EXPECT_EQ(vm.route(), QuintoraViewModel::Route::chat);
    ASSERT_FALSE(vm.chatContext().messages().empty());
    EXPECT_EQ(vm.chatContext().messages().front().content, "what now?");
    EXPECT_TRUE(vm.coworkContext().messages().empty());
    EXPECT_EQ(vm.input(), "");
    EXPECT_TRUE(turnEnded(vm.chatContext()));
}

TEST_F(Chat, LocalServerAskStreamsOneReplyIntoTheRowAndSavesBothRows) {
    env.set("VIVIROV_PROVIDER", "rizeru-local");
    auto& vm = build();
    vm.setAgentMode(AgentMode::ask);
    enqueue(sseStream({sseReasoning("pondering"), sseContent("Hel"), sseContent("lo\nworld"), sseFinish("stop", 3, 2)}));
    vm.addPendingAttachment({UUID::random(), "a.txt", "x"});
    vm.addPendingAttachment({UUID::random(), "b.md", "y"});
    ImageAttachment image;
    image.rgb = {1, 2, 3};
    image.width = image.height = 1;
    vm.addPendingImage(image);
    vm.setInput("hi");

    StderrCapture err;
    vm.send();
    auto& chat = vm.chatContext();
    ASSERT_TRUE(turnEnded(chat));

    EXPECT_EQ(rowTexts(chat), (std::vector<std::string>{"user:hi", "assistant:Hello\nworld"}));
    EXPECT_EQ(chat.lastStats(), "Vivirov Vizivurad \xC2\xB7 27B \xC2\xB7 native \xC2\xB7 pillar");
    EXPECT_EQ(stored(chat), (std::vector<std::string>{"user:hi", "assistant:Hello\nworld"}));
    EXPECT_TRUE(vm.attachments().empty());
    EXPECT_TRUE(vm.imageAttachments().empty());
    EXPECT_TRUE(vm.attachNotice().has_value()) << "a dropped image must not look sent";
    EXPECT_TRUE(services->graph->queries().empty()) << "the local-server path has no recall";

    // The model reads the attachments in front of the text; the row shows the text alone.
    auto requests = chatRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["messages"].back()["content"],
              "Attached file a.txt:\n```\nx\n```\n\nAttached file b.md:\n```\ny\n```\n\nhi");

    EXPECT_TRUE(qtWaitUntil([&] {
        return std::count(events.begin(), events.end(), AgentEvent::turnFinished("native")) == 1;
    }));
    std::vector<AgentEvent> expected = {{AgentEvent::TurnStarted{"Vivirov Vizivurad \xC2\xB7 27B", "Chat"}},
                                        AgentEvent::thinking("Drafting\xE2\x80\xA6"),
                                        AgentEvent::turnFinished("native")};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(countOf(err.text(), "[vivirov] FINAL[pillar:chat/rizeru-local]: Hello world\n"), 1u);
}

TEST_F(Chat, AFailedReplyKeepsItsTextAndWarningOnScreenAndInTheStore) {
    env.set("VIVIROV_PROVIDER", "rizeru-rozazu");
    auto& vm = build();
    vm.setAgentMode(AgentMode::ask);
    const std::string partial = "Partial answer, long enough to leave the tag hold-back";
    const std::string first = "data: " + sseContent(partial) + "\n\n";
    enqueue(sseStream({sseContent(partial), sseContent("never")}).closeAfter(first.size()));
    vm.setInput("go");

    StderrCapture err;
    vm.send();
    auto& chat = vm.chatContext();
    ASSERT_TRUE(turnEnded(chat));

    const std::string row = chat.messages().back().content;
    const size_t warning = row.find(kWarn);
    ASSERT_NE(warning, std::string::npos) << row;
    EXPECT_TRUE(row.starts_with("Partial answer")) << "the streamed text stays: " << row;
    const std::string reason = row.substr(warning + kWarn.size());
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(stored(chat), (std::vector<std::string>{"user:go", "assistant:" + row}));
    EXPECT_TRUE(qtWaitUntil([&] { return !events.empty() && events.back() == AgentEvent::turnFailed(reason); }));
    EXPECT_EQ(countOf(err.text(), "[vivirov] pillar generation failed (rizeru-rozazu): " + reason + "\n"), 1u);
    EXPECT_EQ(countOf(err.text(), "FINAL["), 0u);
    EXPECT_TRUE(services->graph->queries().empty());
}

// Nothing streamed as answer text: the reply is what the response returned
// (with thinking kept, the reasoning comes back wrapped as the content).
TEST_F(Chat, AReplyOnlyReturnedAsContentFillsTheRow) {
    env.set("VIVIROV_PROVIDER", "rizeru-local").set("VIVIROV_THINKING", "1");
    auto& vm = build();
    vm.setAgentMode(AgentMode::ask);
    enqueue(sseStream({sseReasoning("only thoughts"), sseFinish("stop", 2, 2)}));
    vm.setInput("think");
    vm.send();
    auto& chat = vm.chatContext();
    ASSERT_TRUE(turnEnded(chat));
    const std::string returned = "<think>\nonly thoughts\n</think>";
    EXPECT_EQ(rowTexts(chat), (std::vector<std::string>{"user:think", "assistant:" + returned}));
    EXPECT_EQ(stored(chat), (std::vector<std::string>{"user:think", "assistant:" + returned}));
}

TEST_F(Chat, TheInProcessEngineInPlainAskRecallsThenAsksTheEngineWithoutTools) {
    env.set("VIVIROV_PROVIDER", "derevududuv").set("VIVIROV_VM_MODEL", dir.file("missing.gguf"));
    auto& vm = build({"loading"});
    vm.setAgentMode(AgentMode::ask);
    vm.setInput("hi");
    StderrCapture err;
    vm.send();
    ASSERT_TRUE(turnEnded(vm.chatContext()));
    EXPECT_EQ(services->graph->queries(), (std::vector<std::string>{"hi|2|24"}));
    // No agentic not-ready branch: the reply path itself reports the missing model.
    EXPECT_NE(vm.chatContext().lastStats(), "provider not ready");
    EXPECT_EQ(countOf(err.text(), "[vivirov] pillar generation failed (derevududuv): "), 1u) << err.text();
}

TEST_F(Chat, NotReadyProvidersAnswerAtOnceWithTheirMessage) {
    env.set("VIVIROV_VM_MODEL", dir.file("missing.gguf"));
    const std::string keyMessage = [] {
        return kWarn + "Anthropic \xC2\xB7 Claude isn't ready";
    }();
    struct Case {
        const char* provider;
        AgentMode mode;
        bool web;
        std::string expectedStart;
    } cases[] = {
        {"derevududuv", AgentMode::agent, false, "\n\xE2\x8F\xB3 Engine is starting \xE2\x80\x94 retry in a moment."},
        {"derevududuv", AgentMode::plan, false, "\n\xE2\x8F\xB3 Engine is starting \xE2\x80\x94 retry in a moment."},
        {"derevududuv", AgentMode::ask, true, kWarn},
        {"anthropic", AgentMode::agent, false, kWarn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.provider) + (c.web ? " web" : ""));
        ScopedEnv provider("VIVIROV_PROVIDER", c.provider);
        auto& vm = build({"loading"});
        vm.setAgentMode(c.mode);
        vm.setWebSearchEnabled(c.web);
        vm.setInput("hi");
        vm.send();
        auto& chat = vm.chatContext();
        ASSERT_TRUE(turnEnded(chat));
        const std::string row = chat.messages().back().content;
        EXPECT_TRUE(row.starts_with(c.expectedStart)) << row;
        if (c.expectedStart == kWarn)
            EXPECT_TRUE(row.ends_with(" isn't ready \xE2\x80\x94 enter its API key in the Vault (key icon, top right)."))
                << row;
        EXPECT_EQ(chat.lastStats(), "provider not ready");
        EXPECT_EQ(stored(chat), (std::vector<std::string>{"user:hi", "assistant:" + row}));
        EXPECT_EQ(services->graph->queries(), (std::vector<std::string>{"hi|2|24"})) << "the agentic path recalls";
        EXPECT_TRUE(chatRequests().empty());
        vm.chatContext().waitForSaves();
        this->vm.reset();
    }
}

TEST_F(Chat, RecallPublishesAllIdsAndTitlesOfTheSecondToNinth) {
    env.set("VIVIROV_PROVIDER", "anthropic");
    struct Case {
        std::vector<uint32_t> ids;
        AppRoute route;
        std::vector<std::string> titles;
    } cases[] = {
        {{7}, AppRoute::chat, {}},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, AppRoute::chat, {"t2", "t3", "t5", "t6", "t7", "t8", "t9"}},
        {{1, 2, 3}, AppRoute::cowork, {"t2", "t3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ids.size());
        auto& vm = build();
        services->graph->ids = c.ids;
        for (uint32_t id = 1; id <= 12; ++id)
            if (id != 4) services->graph->titles[id] = "t" + std::to_string(id);
        vm.setActiveRoute(c.route);
        vm.setInput("find it");
        vm.send();
        auto& pillar = vm.activePillar();
        ASSERT_TRUE(turnEnded(pillar));
        EXPECT_EQ(pillar.synapticRecallIDs(), c.ids);
        EXPECT_EQ(pillar.synapticRecall(), c.titles);
        const bool mirrored = c.route == AppRoute::chat;
        EXPECT_EQ(vm.synapticRecallIDs(), mirrored ? c.ids : std::vector<uint32_t>{});
        EXPECT_EQ(vm.synapticRecall(), mirrored ? c.titles : std::vector<std::string>{});
        this->vm.reset();
    }
}

TEST_F(Chat, TheFirstChatPromptTitlesTheSessionWithItsFirst40Characters) {
    env.set("VIVIROV_PROVIDER", "anthropic");
    auto& vm = build();
    const std::string prompt = "\xC3\xA9" + std::string(49, 'a'); // 50 characters, the first of two bytes
    vm.setInput(prompt);
    vm.send();
    ASSERT_TRUE(turnEnded(vm.chatContext()));
    const std::string title = text::graphemePrefix(prompt, 40);
    EXPECT_EQ(vm.sessions().front().title, title);
    vm.setInput("second prompt");
    vm.send();
    ASSERT_TRUE(turnEnded(vm.chatContext()));
    EXPECT_EQ(vm.sessions().front().title, title);
    vm.chatContext().waitForSaves();
    auto saved = services->store().conversations(ConversationKind::chat);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].title, title);
    EXPECT_EQ(saved[0].uuid(), *vm.activeSessionID());

    // On the co-work route the chat session stays untitled.
    this->vm.reset();
    auto& other = build();
    other.setActiveRoute(AppRoute::cowork);
    other.setInput("cowork prompt");
    other.send();
    ASSERT_TRUE(turnEnded(other.coworkContext()));
    EXPECT_EQ(other.sessions().front().title, "");
}

} // namespace
} // namespace vivirov::test
