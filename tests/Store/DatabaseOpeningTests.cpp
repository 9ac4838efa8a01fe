#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <thread>

#include "VivirovVizivurad/Store/DatabaseMigrator.h"
#include "VivirovVizivurad/Store/StoreSchema.h"
#include "tests/Store/StoreFixture.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {

using store::SqliteConnection;

namespace {
std::set<std::string> schemaObjects(DatabaseManager& db) {
    return db.pool()->read([](SqliteConnection& c) {
        std::set<std::string> names;
        store::Statement s(c.handle(), "SELECT type || ':' || name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'");
        while (s.step()) names.insert(s.text(0));
        return names;
    });
}

std::vector<std::string> applied(DatabaseManager& db) {
    return db.pool()->read([](SqliteConnection& c) { return store::DatabaseMigrator::appliedIdentifiers(c); });
}
} // namespace

using DatabaseOpening = StoreFixture;

TEST_F(DatabaseOpening, FreshFileHasTheWholeSchemaAndBothMigrationsRecordedOnce) {
    auto objects = schemaObjects(*store);
    for (const char* expected :
         {"table:conversation", "table:message", "table:message_ft", "index:idx_message_conv", "trigger:message_ai",
          "trigger:message_ad", "trigger:message_au", "table:dkv_slot", "index:idx_dkv_slot_agent",
          "table:schema_migrations"})
        EXPECT_TRUE(objects.count(expected)) << expected;
    EXPECT_EQ(applied(*store), (std::vector<std::string>{"v1_schema", "v2_dkv_slot"}));

    UUID conversation = store->createConversation(ConversationKind::chat, "kept");
    store->appendMessage(conversation, "user", "hello");
    store.reset();

    DatabaseManager reopened(path);
    EXPECT_EQ(applied(reopened), (std::vector<std::string>{"v1_schema", "v2_dkv_slot"}));
    EXPECT_EQ(reopened.messageCount(), 1);
    EXPECT_EQ(reopened.conversations(ConversationKind::chat).at(0).title, "kept");
}

TEST_F(DatabaseOpening, EveryConnectionHasTheSettingsAndTheFileIsInWriteAheadMode) {
    auto settings = [](SqliteConnection& c) {
        return std::to_string(c.scalarInteger("PRAGMA mmap_size")) + "/" +
               std::to_string(c.scalarInteger("PRAGMA foreign_keys")) + "/" +
               std::to_string(c.scalarInteger("PRAGMA synchronous"));
    };
    EXPECT_EQ(store->pool()->writeWithoutTransaction(settings), "268435456/1/1");
    EXPECT_EQ(store->pool()->read(settings), "268435456/1/1");
    std::string mode = store->pool()->read([](SqliteConnection& c) {
        store::Statement s(c.handle(), "PRAGMA journal_mode");
        s.step();
        return s.text(0);
    });
    EXPECT_EQ(mode, "wal");
}

TEST(DatabaseMigration, FileWithOnlyTheFirstMigrationGetsTheSecond) {
    TempDir dir;
    std::string path = dir.file("old.sqlite");
    {
        auto pool = store::DatabasePool::open(path, {});
        store::DatabaseMigrator v1Only;
        v1Only.registerMigration("v1_schema", [](SqliteConnection& c) { c.execute(storeSchema::v1Script); });
        v1Only.migrate(*pool);
        pool->writeWithoutTransaction([](SqliteConnection& c) {
            c.execute("PRAGMA foreign_keys = OFF");
            c.execute("INSERT INTO conversation VALUES ('C', 'chat', 't', 1)");
            c.execute("INSERT INTO message VALUES ('M1', 'C', 'user', 'kept', NULL, NULL, 1)");
            c.execute("INSERT INTO message VALUES ('M2', 'GONE', 'user', 'orphan', NULL, NULL, 2)");
        });
    }
    DatabaseManager migrated(path);
    EXPECT_EQ(applied(migrated), (std::vector<std::string>{"v1_schema", "v2_dkv_slot"}));
    EXPECT_EQ(migrated.messageCount(), 1);
    EXPECT_EQ(migrated.integrityCheck(), "ok");
    auto objects = schemaObjects(migrated);
    EXPECT_TRUE(objects.count("table:dkv_slot"));
    EXPECT_TRUE(objects.count("index:idx_dkv_slot_agent"));
}

TEST(DatabaseMigration, ForeignKeyViolationLeftByAMigrationRollsItBack) {
    TempDir dir;
    auto pool = store::DatabasePool::open(dir.file("m.sqlite"), {{"PRAGMA foreign_keys = ON"}});
    store::DatabaseMigrator migrator;
    storeSchema::registerMigrations(migrator);
    migrator.registerMigration("v3_bad", [](SqliteConnection& c) {
        c.execute("CREATE TABLE extra (x INTEGER)");
        c.execute("INSERT INTO message VALUES ('M', 'NOPE', 'user', 'x', NULL, NULL, 1)");
    });
    EXPECT_THROW(migrator.migrate(*pool), store::SqliteError);
    auto after = pool->read([](SqliteConnection& c) {
        return std::make_tuple(store::DatabaseMigrator::appliedIdentifiers(c),
                               c.scalarInteger("SELECT COUNT(*) FROM sqlite_master WHERE name = 'extra'"),
                               c.scalarInteger("SELECT COUNT(*) FROM message"));
    });
    EXPECT_EQ(std::get<0>(after), (std::vector<std::string>{"v1_schema", "v2_dkv_slot"}));
    EXPECT_EQ(std::get<1>(after), 0);
    EXPECT_EQ(std::get<2>(after), 0);
    // Foreign keys are enforced again afterwards.
    EXPECT_EQ(pool->writeWithoutTransaction([](SqliteConnection& c) { return c.scalarInteger("PRAGMA foreign_keys"); }),
              1);
}

TEST(DatabaseFallBack, UnusablePathWarnsOnceAndWorksInMemory) {
    TempDir dir;
    std::string blocker = dir.write("not-a-folder", "x");
    std::string path = blocker + "/com.dudive.vivirov/vivirov.sqlite";
    StderrCapture capture;
    auto store = DatabaseManager::openOrFallBack(path);
    std::string log = capture.text();
    EXPECT_EQ(log, "DatabaseManager: cannot open " + path +
                       ": SQLite error 14: unable to open database file \u2014 falling back to in-memory store; "
                       "data will NOT persist this session\n");
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->pool()->isFileBacked());
    EXPECT_TRUE(store->conversations(ConversationKind::chat).empty());
    UUID c = store->createConversation(ConversationKind::code, "works");
    store->appendMessage(c, "user", "in memory only");
    EXPECT_EQ(store->search("memory", std::nullopt, 10).size(), 1u);
    EXPECT_EQ(store->integrityCheck(), "ok");
}

// The only test in this binary that touches the shared store: it is opened
// once per process.
TEST(DatabaseFallBack, SharedStoreOpensOnceUnderConcurrentFirstUse) {
    TempDir dir;
    std::string blocker = dir.write("data", "a regular file where the data folder should be");
    ::setenv("XDG_DATA_HOME", blocker.c_str(), 1);
    StderrCapture capture;
    std::vector<DatabaseManager*> seen(8);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[size_t(i)] = &DatabaseManager::defaultStore(); });
    }
    ::unsetenv("XDG_DATA_HOME");
    for (auto* s : seen) EXPECT_EQ(s, seen[0]);
    std::string log = capture.text();
    EXPECT_EQ(log.rfind("DatabaseManager: cannot open " + blocker + "/com.dudive.vivirov/vivirov.sqlite: ", 0), 0u)
        << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
    EXPECT_NO_THROW(seen[0]->createConversation(ConversationKind::chat, "x"));
}

TEST(StoreRecords, DerivedKindAndUuid) {
    struct Case {
        const char* text;
        ConversationKind kind;
    } cases[] = {{"chat", ConversationKind::chat},
                 {"cowork", ConversationKind::cowork},
                 {"code", ConversationKind::code},
                 {"Code", ConversationKind::chat},
                 {"", ConversationKind::chat}};
    for (const auto& c : cases) {
        Conversation conversation;
        conversation.routeKind = c.text;
        EXPECT_EQ(conversation.kind(), c.kind) << c.text;
    }
    UUID id = UUID::random();
    Conversation good(id, ConversationKind::cowork, "t", 12.5);
    EXPECT_EQ(good.id, id.string());
    EXPECT_EQ(good.uuid(), id);
    EXPECT_EQ(good.routeKind, "cowork");
    Message bad;
    bad.id = "not-a-uuid";
    EXPECT_NE(bad.uuid(), bad.uuid());
}

} // namespace vivirov::test
