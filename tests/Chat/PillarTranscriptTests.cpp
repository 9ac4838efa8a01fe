#include "VivirovVizivurad/Store/SqliteConnection.h"
#include "tests/Chat/PillarFixture.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {
namespace {

using Transcript = PillarFixture;
using Kind = TransactionState::Kind;

std::vector<std::string> contents(const std::vector<Message>& rows) {
    std::vector<std::string> out;
    for (const auto& m : rows) out.push_back(m.role + ":" + m.content);
    return out;
}

TEST_F(Transcript, ATurnStreamsIntoItsRowAndBothRowsAreStored) {
    UUID conversation = chat->beginTurnConversation();
    UUID target = addTurnRows(*chat, "question");
    chat->persist(Role::user, "question");
    int epoch = chat->startStream(target);
    std::string answer(1000, 'x');
    std::thread producer([&] {
        for (size_t i = 0; i < answer.size(); i += 10) chat->coalescer().append(answer.substr(i, 10), epoch);
    });
    for (int i = 0; i < 5; ++i) chat->flushTick();
    producer.join();
    EXPECT_LE(chat->message(target)->content.size(), 20u);
    chat->endTurn();
    chat->persist(Role::assistant, chat->message(target)->content, conversation);
    chat->waitForSaves();

    EXPECT_EQ(chat->message(target)->content, answer);
    EXPECT_EQ(contents(stored(conversation)), (std::vector<std::string>{"user:question", "assistant:" + answer}));
    EXPECT_EQ(db->conversations(ConversationKind::chat).at(0).title, "");
}

TEST_F(Transcript, RowsSavedInQuickSuccessionReloadInTheirOrder) {
    UUID conversation = chat->beginTurnConversation();
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i) {
        Role role = i % 2 ? Role::assistant : Role::user;
        chat->persist(role, std::to_string(i));
        expected.push_back(std::string(databaseRoleText(role)) + ":" + std::to_string(i));
    }
    chat->waitForSaves();
    auto rows = stored(conversation);
    EXPECT_EQ(contents(rows), expected);
    for (size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i - 1].createdAt, rows[i].createdAt);
}

TEST_F(Transcript, VoidTurnSavesTheStreamingAnswerAsItStands) {
    struct Case {
        const char* name;
        bool start;         // a turn was streaming
        const char* buffered;
        std::vector<std::string> saved;
    };
    const Case cases[] = {
        {"just started: an empty answer is saved", true, "", {"assistant:"}},
        {"four more characters, the rest dropped", true, "abcdefgh", {"assistant:abcd"}},
        {"idle pillar saves nothing", false, "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto pillar = makePillar(ConversationKind::chat);
        UUID conversation = pillar->beginTurnConversation();
        UUID target = addTurnRows(*pillar);
        int before = pillar->turnEpoch();
        if (c.start) pillar->coalescer().append(c.buffered, pillar->startStream(target));
        const int epochBeforeVoid = pillar->turnEpoch();
        pillar->voidTurn();
        pillar->waitForSaves();

        EXPECT_EQ(pillar->turnEpoch(), epochBeforeVoid + 1);
        EXPECT_GT(pillar->turnEpoch(), before);
        EXPECT_EQ(pillar->coalescer().epoch(), 0);
        EXPECT_FALSE(pillar->coalescer().target());
        EXPECT_TRUE(pillar->coalescer().isEmpty());
        EXPECT_FALSE(pillar->isStreaming());
        EXPECT_EQ(pillar->transactionState().kind, Kind::idle);
        EXPECT_EQ(contents(stored(conversation)), c.saved);
    }
}

TEST_F(Transcript, CompleteToolFindsTheRowItBelongsTo) {
    struct Case {
        const char* name;
        std::vector<std::string> executing; // tool rows, oldest first ("" = a row without a name)
        std::string completed;
        int filled; // index into executing, -1 for none
    };
    const Case cases[] = {
        {"the later of two rows of that name", {"read_file", "read_file"}, "read_file", 1},
        {"no row of that name: the latest executing row", {"a", "b"}, "read_file", 1},
        {"empty name: the latest executing row", {"a", "b", "c"}, "", 2},
        {"a nameless row answers only to an empty name", {"", "b"}, "x", 1},
        {"no executing row", {}, "read_file", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto pillar = makePillar(ConversationKind::chat);
        std::vector<UUID> ids;
        for (const auto& name : c.executing) {
            ids.push_back(pillar->appendToolStart(name, "args"));
            if (name.empty()) {
                // Build a row that really has no tool name.
                auto rows = pillar->messages();
                rows.back().toolName.reset();
                pillar->setMessages(rows);
            }
        }
        if (!ids.empty()) EXPECT_EQ(pillar->transactionState().kind, Kind::executingTool);
        pillar->completeTool(c.completed, "result");
        for (size_t i = 0; i < ids.size(); ++i) {
            const ChatMessage* m = pillar->message(ids[i]);
            const bool filled = int(i) == c.filled;
            EXPECT_EQ(m->toolExecuting, !filled) << i;
            EXPECT_EQ(m->toolResult, filled ? std::optional<std::string>("result") : std::nullopt) << i;
        }
        EXPECT_EQ(pillar->transactionState().kind, Kind::decodingProse);
    }
}

TEST_F(Transcript, AppendToAnUnknownRowChangesAndPublishesNothing) {
    addTurnRows(*chat);
    auto before = chat->messages();
    int published = 0;
    QObject::connect(chat.get(), &PillarContext::changed, [&] { ++published; });
    chat->append("text", UUID::random());
    EXPECT_EQ(published, 0);
    EXPECT_EQ(chat->messages().back().content, before.back().content);
}

TEST_F(Transcript, PersistWithoutAConversationBeginsOne) {
    EXPECT_FALSE(chat->activeConversationID());
    chat->persist(Role::user, "first");
    ASSERT_TRUE(chat->activeConversationID());
    EXPECT_EQ(chat->turnConversationID(), chat->activeConversationID());
    chat->waitForSaves();
    EXPECT_EQ(contents(stored(*chat->activeConversationID())), (std::vector<std::string>{"user:first"}));
}

TEST_F(Transcript, AFailedSaveIsReportedOnOneLine) {
    db->pool()->write([](store::SqliteConnection& c) { c.execute("DROP TABLE message"); });
    StderrCapture err;
    cowork->persist(Role::toolCall, "x", UUID::random());
    cowork->waitForSaves();
    const std::string text = err.text();
    EXPECT_EQ(text.rfind("[vivirov] [pillar:cowork] persist FAILED (role=toolCall): ", 0), 0u) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

TEST_F(Transcript, LoadingShowsStoredRowsWithFreshIdsAndToolRowsAsAnswers) {
    UUID older = db->createConversation(ConversationKind::chat, "old");
    db->appendMessage(older, "user", "old");
    UUID newest = db->createConversation(ConversationKind::chat, "new");
    UUID storedID = db->appendMessage(newest, "user", "q");
    db->appendMessage(newest, "tool", "ran");
    db->appendMessage(newest, "assistant", "a");

    bool done = false;
    chat->loadFromDatabase([&] { done = true; });
    ASSERT_TRUE(qtWaitUntil([&] { return done; }));
    EXPECT_EQ(chat->activeConversationID(), newest);
    ASSERT_EQ(chat->messages().size(), 3u);
    EXPECT_NE(chat->messages()[0].id, storedID);
    const Role roles[] = {Role::user, Role::assistant, Role::assistant};
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(chat->messages()[i].role, roles[i]) << i;
    EXPECT_TRUE(chat->turnConversationID() == std::nullopt);

    // No co-work conversation is stored: the co-work pillar stays as it was.
    done = false;
    cowork->loadFromDatabase([&] { done = true; });
    ASSERT_TRUE(qtWaitUntil([&] { return done; }));
    EXPECT_FALSE(cowork->activeConversationID());
    EXPECT_TRUE(cowork->messages().empty());
}

TEST_F(Transcript, OnlyTheLastChosenConversationIsShown) {
    UUID a = db->createConversation(ConversationKind::chat, "a");
    db->appendMessage(a, "user", "from a");
    UUID b = db->createConversation(ConversationKind::chat, "b");
    db->appendMessage(b, "user", "from b");

    for (int round = 0; round < 10; ++round) { // either read may finish first
        int finished = 0;
        chat->load(a, [&] { ++finished; });
        chat->load(b, [&] { ++finished; });
        ASSERT_TRUE(qtWaitUntil([&] { return finished == 2; }));
        ASSERT_EQ(chat->messages().size(), 1u);
        EXPECT_EQ(chat->messages()[0].content, "from b");
        EXPECT_EQ(chat->activeConversationID(), b);
    }
}

TEST_F(Transcript, AFailedLoadEmptiesTheChosenConversation) {
    addTurnRows(*chat);
    db->pool()->write([](store::SqliteConnection& c) { c.execute("DROP TABLE message"); });
    bool done = false;
    chat->load(UUID::random(), [&] { done = true; });
    ASSERT_TRUE(qtWaitUntil([&] { return done; }));
    EXPECT_TRUE(chat->messages().empty());
}

} // namespace
} // namespace vivirov::test
