#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <future>
#include <thread>

#include "VivirovKit/Support/Clock.h"
#include "tests/Store/StoreFixture.h"

namespace vivirov::test {

using store::SqliteConnection;
using StoreOperations = StoreFixture;

TEST_F(StoreOperations, ConversationsAndMessagesRoundTripInTheirOrder) {
    FakeClock clock(1, 1000.0);
    Clock::setCurrent(&clock);
    UUID older = store->createConversation(ConversationKind::chat, "older");
    clock.advance(1'000'000'000);
    UUID newer = store->createConversation(ConversationKind::chat, "newer");
    store->createConversation(ConversationKind::code, "other kind");
    UUID first = store->appendMessage(newer, "user", "question", 7);
    clock.advance(500'000'000);
    store->appendMessage(newer, "assistant", "answer");
    Clock::setCurrent(nullptr);

    auto chats = store->conversations(ConversationKind::chat);
    ASSERT_EQ(chats.size(), 2u);
    EXPECT_EQ(chats[0].uuid(), newer);
    EXPECT_EQ(chats[1].uuid(), older);
    EXPECT_DOUBLE_EQ(chats[1].createdAt, 1000.0);

    auto rows = store->messages(newer);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].uuid(), first);
    EXPECT_EQ(rows[0].conversationId, newer.string());
    EXPECT_EQ(rows[0].tokenCount, 7);
    EXPECT_FALSE(rows[0].embedding);
    EXPECT_EQ(rows[1].role, "assistant");
    EXPECT_FALSE(rows[1].tokenCount);
    EXPECT_DOUBLE_EQ(rows[1].createdAt, 1001.5);

    EXPECT_TRUE(store->messages(UUID::random()).empty());
    EXPECT_TRUE(store->conversations(ConversationKind::cowork).empty());
}

TEST_F(StoreOperations, MessagesOfOneConversationKeepCallOrderUnderAStillOrBackwardClock) {
    FakeClock still(1, 5000.0);
    Clock::setCurrent(&still);
    UUID c = store->createConversation(ConversationKind::chat, "c");
    UUID other = store->createConversation(ConversationKind::chat, "other");
    for (int i = 0; i < 5; ++i) store->appendMessage(c, "user", std::to_string(i));
    store->appendMessage(other, "user", "own clock");
    FakeClock earlier(1, 4000.0);
    Clock::setCurrent(&earlier);
    store->appendMessage(c, "assistant", "5");
    Clock::setCurrent(nullptr);

    auto rows = store->messages(c);
    ASSERT_EQ(rows.size(), 6u);
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].content, std::to_string(i));
        if (i) {
            EXPECT_GT(rows[i].createdAt, rows[i - 1].createdAt);
        }
    }
    EXPECT_DOUBLE_EQ(rows[0].createdAt, 5000.0);
    EXPECT_DOUBLE_EQ(store->messages(other).at(0).createdAt, 5000.0);
}

TEST_F(StoreOperations, EnsureConversationKeepsTheFirstRow) {
    UUID id = UUID::random();
    store->ensureConversation(id, ConversationKind::chat, "first");
    store->ensureConversation(id, ConversationKind::code, "second");
    auto rows = store->conversations(ConversationKind::chat);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].title, "first");
    EXPECT_TRUE(store->conversations(ConversationKind::code).empty());
}

TEST_F(StoreOperations, AppendToUnknownConversationFailsWithTheForeignKeyError) {
    try {
        store->appendMessage(UUID::random(), "user", "nowhere");
        FAIL() << "no error";
    } catch (const store::SqliteError& error) {
        EXPECT_EQ(error.code(), SQLITE_CONSTRAINT_FOREIGNKEY);
    }
    EXPECT_EQ(store->messageCount(), 0);
}

TEST_F(StoreOperations, BatchIsAllOrNothing) {
    UUID c = store->createConversation(ConversationKind::chat, "c");
    UUID existing = store->appendMessage(c, "user", "already here");
    uint64_t before = store->pool()->accessCount();
    EXPECT_EQ(store->appendMessageBatch({}), 0);
    EXPECT_EQ(store->pool()->accessCount(), before);

    std::vector<Message> batch = {message(c, "one", 1), message(c, "two", 2), message(c, "dup", 3),
                                  message(c, "four", 4)};
    batch[2].id = existing.string();
    EXPECT_THROW(store->appendMessageBatch(batch), store::SqliteError);
    EXPECT_EQ(store->messageCount(), 1);

    batch[2].id = UUID::random().string();
    batch[3].embedding = std::vector<uint8_t>{1, 2, 3, 4};
    EXPECT_EQ(store->appendMessageBatch(batch), 4);
    auto rows = store->messages(c);
    ASSERT_EQ(rows.size(), 5u);
    // Stored unchanged, times included (so they sort before the row written now).
    for (size_t i = 0; i < batch.size(); ++i) {
        EXPECT_EQ(rows[i].id, batch[i].id);
        EXPECT_DOUBLE_EQ(rows[i].createdAt, batch[i].createdAt);
    }
    EXPECT_EQ(rows[3].embedding, batch[3].embedding);
    EXPECT_EQ(rows[4].uuid(), existing);
}

TEST_F(StoreOperations, UpdatesAndDeletion) {
    UUID c = store->createConversation(ConversationKind::chat, "old title");
    UUID m = store->appendMessage(c, "assistant", "draft", 12);
    store->appendMessage(c, "user", "second");

    store->updateMessageContent(m, "final words", std::nullopt);
    auto row = store->messages(c).at(0);
    EXPECT_EQ(row.content, "final words");
    EXPECT_EQ(row.tokenCount, 12);
    store->updateMessageContent(m, "final words", 30);
    EXPECT_EQ(store->messages(c).at(0).tokenCount, 30);

    store->updateTitle(c, "new title");
    EXPECT_EQ(store->conversations(ConversationKind::chat).at(0).title, "new title");

    // Unknown ids are no error and change nothing.
    EXPECT_NO_THROW(store->updateMessageContent(UUID::random(), "x", 1));
    EXPECT_NO_THROW(store->setEmbedding(UUID::random(), {1, 2, 3, 4}));
    EXPECT_NO_THROW(store->updateTitle(UUID::random(), "x"));
    EXPECT_NO_THROW(store->deleteConversation(UUID::random()));

    UUID other = store->createConversation(ConversationKind::chat, "other");
    store->appendMessage(other, "user", "stays");
    store->deleteConversation(c);
    EXPECT_TRUE(store->messages(c).empty());
    EXPECT_EQ(store->messageCount(), 1);
}

TEST_F(StoreOperations, EveryUpdateLeavesOneFullTextEntryWithTheCurrentText) {
    UUID c = store->createConversation(ConversationKind::chat, "c");
    UUID m = store->appendMessage(c, "user", "alpha words");
    store->setEmbedding(m, {0, 0, 128, 63});
    store->setEmbedding(m, {0, 0, 0, 64});
    store->updateMessageContent(m, "beta words", std::nullopt);
    auto counts = store->pool()->read([](SqliteConnection& db) {
        return std::make_pair(db.scalarInteger("SELECT COUNT(*) FROM message_ft WHERE message_ft MATCH 'words'"),
                              db.scalarInteger("SELECT COUNT(*) FROM message_ft WHERE message_ft MATCH 'alpha'"));
    });
    EXPECT_EQ(counts.first, 1);
    EXPECT_EQ(counts.second, 0);
    EXPECT_EQ(store->search("beta", std::nullopt, 10).size(), 1u);
    EXPECT_EQ(store->integrityCheck(), "ok");
}

TEST_F(StoreOperations, IntegrityCheckReportsForeignKeyViolations) {
    EXPECT_EQ(store->integrityCheck(), "ok");
    store->pool()->writeWithoutTransaction([](SqliteConnection& db) {
        db.execute("PRAGMA foreign_keys = OFF");
        db.execute("INSERT INTO message VALUES ('A', 'MISSING', 'user', 'x', NULL, NULL, 1)");
        db.execute("INSERT INTO message VALUES ('B', 'MISSING', 'user', 'y', NULL, NULL, 2)");
        db.execute("PRAGMA foreign_keys = ON");
    });
    EXPECT_EQ(store->integrityCheck(), "foreign_key_check: 2 violation(s)");
}

TEST_F(StoreOperations, ReadersRunWhileTheWriterHoldsAnOpenTransaction) {
    UUID c = store->createConversation(ConversationKind::chat, "c");
    store->appendMessage(c, "user", "committed");

    std::promise<void> writerInside, releaseWriter;
    auto writer = std::async(std::launch::async, [&] {
        store->pool()->write([&](SqliteConnection& db) {
            db.execute("INSERT INTO message (id, conversationId, role, content, createdAt) VALUES ('W', '" +
                       c.string() + "', 'user', 'pending', 9)");
            writerInside.set_value();
            releaseWriter.get_future().wait();
        });
    });
    writerInside.get_future().wait();
    // Several readers at once, none blocked by the open write, each on the committed snapshot.
    std::vector<std::future<int64_t>> readers;
    for (int i = 0; i < 6; ++i)
        readers.push_back(std::async(std::launch::async, [&] { return store->messageCount(); }));
    for (auto& r : readers) EXPECT_EQ(r.get(), 1);
    releaseWriter.set_value();
    writer.get();
    EXPECT_EQ(store->messageCount(), 2); // a read after the write returned sees it
}

TEST_F(StoreOperations, ReadSnapshotStaysFixedWhileTheWriterCommits) {
    UUID c = store->createConversation(ConversationKind::chat, "c");
    store->appendMessage(c, "user", "one");
    auto seen = store->pool()->read([&](SqliteConnection& db) {
        int64_t before = db.scalarInteger("SELECT COUNT(*) FROM message");
        std::async(std::launch::async, [&] { store->appendMessage(c, "user", "two"); }).get();
        int64_t after = db.scalarInteger("SELECT COUNT(*) FROM message");
        return std::make_pair(before, after);
    });
    EXPECT_EQ(seen, std::make_pair(int64_t(1), int64_t(1)));
    EXPECT_EQ(store->messageCount(), 2);
}

TEST_F(StoreOperations, ObservationDeliversEveryCommitInOrder) {
    UUID c = store->createConversation(ConversationKind::chat, "c");
    UUID other = store->createConversation(ConversationKind::chat, "other");
    auto messages = store->observeMessages(c);
    auto chats = store->observeConversations(ConversationKind::chat);
    EXPECT_TRUE(messages->next()->empty()); // the current result first
    EXPECT_EQ(chats->next()->size(), 2u);

    const int writes = 20;
    std::thread writer([&] {
        for (int i = 0; i < writes; ++i) store->appendMessage(c, "user", "m" + std::to_string(i));
        store->updateTitle(other, "renamed"); // a conversation write: no message result
        store->deleteConversation(c);         // cascades into message
    });
    for (int i = 1; i <= writes; ++i) {
        auto result = messages->next();
        ASSERT_TRUE(result);
        ASSERT_EQ(result->size(), size_t(i));
        EXPECT_EQ(result->back().content, "m" + std::to_string(i - 1));
    }
    EXPECT_TRUE(messages->next()->empty());
    writer.join();
    auto renamed = *chats->next();
    ASSERT_EQ(renamed.size(), 2u);
    EXPECT_EQ(renamed[0].uuid() == other ? renamed[0].title : renamed[1].title, "renamed");
    EXPECT_EQ(chats->next()->size(), 1u);

    std::stop_source stop;
    std::thread stopper([&] { stop.request_stop(); });
    EXPECT_FALSE(messages->next(stop.get_token())); // nothing more until a write
    stopper.join();
}

TEST_F(StoreOperations, ObservationEndsWithItsStore) {
    auto observation = store->observeConversations(ConversationKind::code);
    store.reset();
    EXPECT_FALSE(observation->next());
}

} // namespace vivirov::test
