#include <gtest/gtest.h>

#include <thread>

#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/CoWork/DispatchManager.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "tests/Chat/BuiltController.h"

namespace vivirov::test {
namespace {

using Sessions = BuiltController;

std::vector<std::string> titles(const QuintoraViewModel& vm) {
    std::vector<std::string> out;
    for (const auto& s : vm.sessions()) out.push_back(s.title);
    return out;
}

UUID storedChat(DatabaseManager& db, const std::string& title, const std::vector<std::string>& rows) {
    const UUID id = db.createConversation(ConversationKind::chat, title);
    for (const auto& row : rows) db.appendMessage(id, "user", row);
    // Creation times order the list; keep them apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return id;
}

TEST_F(Sessions, AnEmptyStoreGivesOneUntitledSessionThatIsThePillarsConversation) {
    const UUID seed = *vm->activeSessionID();
    vm->loadHistory();
    vm->loadHistory();
    ASSERT_TRUE(qtWaitUntil([&] { return vm->chatContext().activeConversationID().has_value(); }));
    // Let every step of the load run.
    qtWaitUntil([&] { return false; }, 300);
    ASSERT_EQ(vm->sessions().size(), 1u);
    EXPECT_EQ(vm->sessions()[0].title, "");
    EXPECT_EQ(vm->sessions()[0].id, *vm->chatContext().activeConversationID());
    EXPECT_EQ(vm->activeSessionID(), vm->chatContext().activeConversationID());
    EXPECT_EQ(vm->sessions()[0].id, seed) << "the seed conversation is kept";
    EXPECT_TRUE(services.store().conversations(ConversationKind::chat).empty()) << "no row is written";
}

TEST_F(Sessions, StoredChatsListNewestFirstAndTheNewestShows) {
    auto& db = services.store();
    storedChat(db, "oldest", {"a"});
    storedChat(db, "middle", {"b"});
    const UUID newest = storedChat(db, "newest", {"c1", "c2"});
    db.createConversation(ConversationKind::cowork, "not a chat");

    vm->loadHistory();
    ASSERT_TRUE(qtWaitUntil([&] { return vm->sessions().size() == 3; }));
    EXPECT_EQ(titles(*vm), (std::vector<std::string>{"newest", "middle", "oldest"}));
    EXPECT_EQ(vm->activeSessionID(), newest);
    EXPECT_EQ(vm->chatContext().activeConversationID(), newest);
    ASSERT_EQ(vm->chatContext().messages().size(), 2u);
    EXPECT_EQ(vm->chatContext().messages()[1].content, "c2");

    // A second call does not rebuild the list.
    vm->newChat();
    vm->loadHistory();
    qtWaitUntil([&] { return false; }, 300);
    EXPECT_EQ(vm->sessions().size(), 4u);
}

TEST_F(Sessions, SelectingShowsThatChatAndOnlyTheLastOfQuickSelections) {
    auto& db = services.store();
    const UUID first = storedChat(db, "first", {"one"});
    const UUID second = storedChat(db, "second", {"two", "two b"});
    vm->loadHistory();
    ASSERT_TRUE(qtWaitUntil([&] { return vm->sessions().size() == 2; }));

    vm->setRoute(QuintoraViewModel::Route::settings);
    vm->selectSession(first);
    vm->selectSession(second);
    EXPECT_EQ(vm->route(), QuintoraViewModel::Route::chat);
    EXPECT_EQ(vm->activeSessionID(), second);
    ASSERT_TRUE(qtWaitUntil([&] { return vm->chatContext().messages().size() == 2; }));
    qtWaitUntil([&] { return false; }, 300); // a late first load would show now
    ASSERT_EQ(vm->chatContext().messages().size(), 2u);
    EXPECT_EQ(vm->chatContext().messages()[0].content, "two");
}

TEST_F(Sessions, OnlyAnotherSessionOrANewChatStopsAStreamingChatTurn) {
    auto& chat = vm->chatContext();
    auto& cowork = vm->coworkContext();
    const UUID active = *vm->activeSessionID();
    chat.setStreaming(true);
    vm->setRoute(QuintoraViewModel::Route::models);
    vm->selectSession(active);
    EXPECT_TRUE(chat.isStreaming()) << "the active session changes nothing";
    EXPECT_EQ(vm->route(), QuintoraViewModel::Route::chat);

    // A co-work turn and queued co-work work go on across a new chat.
    cowork.setStreaming(true);
    vm->dispatchManager().setEngineBusy([] { return true; });
    vm->dispatchManager().enqueue("background job");
    chat.appendMessage({UUID::random(), Role::user, "old question"});
    vm->setInput("draft");
    vm->newChat();
    EXPECT_FALSE(chat.isStreaming());
    EXPECT_TRUE(cowork.isStreaming());
    EXPECT_EQ(vm->dispatchManager().active().size(), 1u);
    EXPECT_TRUE(chat.messages().empty());
    ASSERT_EQ(vm->sessions().size(), 2u);
    EXPECT_EQ(vm->sessions()[0].title, "");
    EXPECT_EQ(vm->activeSessionID(), vm->sessions()[0].id);
    EXPECT_EQ(chat.activeConversationID(), vm->sessions()[0].id);
    EXPECT_EQ(vm->input(), "draft");
    EXPECT_NE(vm->lastStats(), "\xE2\x96\xA0 hard-stopped (kill switch)");

    chat.setStreaming(true);
    vm->selectSession(active);
    EXPECT_FALSE(chat.isStreaming());
    EXPECT_TRUE(cowork.isStreaming());
    EXPECT_EQ(vm->activeSessionID(), active);
    cowork.setStreaming(false);
    vm->dispatchManager().cancelAll();
}

TEST_F(Sessions, DraftsFollowTheChatAndCoworkRoutesOnly) {
    struct Step {
        AppRoute from, to;
        std::string typed, shown;
    };
    const Step steps[] = {
        {AppRoute::chat, AppRoute::code, "chat draft", ""},
        {AppRoute::code, AppRoute::chat, "typed on code", "chat draft"},
        {AppRoute::chat, AppRoute::cowork, "chat draft 2", ""},
        {AppRoute::cowork, AppRoute::nexus, "cowork draft", ""},
        {AppRoute::nexus, AppRoute::cowork, "typed on nexus", "cowork draft"},
        {AppRoute::cowork, AppRoute::chat, "cowork draft", "chat draft 2"},
    };
    for (const auto& step : steps) {
        vm->setInput(step.typed);
        vm->swapDraft(step.from, step.to);
        EXPECT_EQ(vm->input(), step.shown) << step.typed;
    }
}

} // namespace
} // namespace vivirov::test
