#include "VivirovVizivurad/Store/DatabaseManager.h"

#include <cmath>
#include <cstdlib>
#include <mutex>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovVizivurad/Store/DatabaseMigrator.h"
#include "VivirovVizivurad/Store/StoreRows.h"
#include "VivirovVizivurad/Store/StoreSchema.h"

namespace vivirov {

using store::SqliteConnection;

namespace {
double now() { return Clock::current().wallSeconds(); }

const char* const selectConversations = "SELECT * FROM conversation WHERE routeKind = ? ORDER BY createdAt DESC";
const char* const selectMessages = "SELECT * FROM message WHERE conversationId = ? ORDER BY createdAt ASC";
} // namespace

DatabaseManager::DatabaseManager(const std::string& path) {
    store::DatabasePool::Configuration configuration;
    configuration.setup = {"PRAGMA mmap_size = 268435456", "PRAGMA foreign_keys = ON", "PRAGMA synchronous = NORMAL"};
    pool_ = store::DatabasePool::open(path, std::move(configuration));
    migrate();
}

DatabaseManager::DatabaseManager(InMemory) {
    store::DatabasePool::Configuration configuration;
    configuration.setup = {"PRAGMA foreign_keys = ON"};
    pool_ = store::DatabasePool::openInMemory(std::move(configuration));
    migrate();
}

void DatabaseManager::migrate() {
    store::DatabaseMigrator migrator;
    storeSchema::registerMigrations(migrator);
    migrator.migrate(*pool_);
}

std::unique_ptr<DatabaseManager> DatabaseManager::openOrFallBack(const std::string& path) {
    try {
        return std::make_unique<DatabaseManager>(path);
    } catch (const std::exception& error) {
        logLine("DatabaseManager: cannot open " + path + ": " + error.what() +
                " \u2014 falling back to in-memory store; data will NOT persist this session");
    }
    try {
        return std::unique_ptr<DatabaseManager>(new DatabaseManager(InMemory{}));
    } catch (const std::exception& error) {
        logLine(std::string("DatabaseManager: in-memory fallback failed: ") + error.what());
        std::abort();
    }
}

DatabaseManager& DatabaseManager::defaultStore() {
    static DatabaseManager* shared = [] {
        std::string folder = paths::appData();
        paths::ensureDirectory(folder); // a failure shows up as the open's failure
        return openOrFallBack(folder + "/vivirov.sqlite").release();
    }();
    return *shared;
}

UUID DatabaseManager::createConversation(ConversationKind kind, const std::string& title) {
    Conversation conversation(UUID::random(), kind, title, now());
    pool_->write([&](SqliteConnection& db) { storeRows::insert(db, conversation); });
    return *UUID::parse(conversation.id);
}

void DatabaseManager::ensureConversation(const UUID& id, ConversationKind kind, const std::string& title) {
    pool_->write([&](SqliteConnection& db) {
        db.cached("INSERT OR IGNORE INTO conversation (id, routeKind, title, createdAt) VALUES (?, ?, ?, ?)")
            .bind(1, id.string())
            .bind(2, conversationKindText(kind))
            .bind(3, title)
            .bind(4, now())
            .run();
    });
}

// Transcripts are read back ordered by createdAt, and equal times have no
// order; so two messages of one conversation never get the same time, and a
// later call never gets an earlier time even when the wall clock steps back.
double DatabaseManager::nextMessageTime(const std::string& conversationID) {
    double time = now();
    std::lock_guard lock(timesMutex_);
    auto [it, inserted] = lastMessageTime_.try_emplace(conversationID, time);
    if (!inserted) {
        if (time <= it->second) time = std::nextafter(it->second, HUGE_VAL);
        it->second = time;
    }
    return time;
}

UUID DatabaseManager::appendMessage(const UUID& conversationID, const std::string& role, const std::string& content,
                                    std::optional<int64_t> tokenCount) {
    return appendMessage(conversationID, role, content, tokenCount, nextMessageTime(conversationID.string()));
}

UUID DatabaseManager::appendMessage(const UUID& conversationID, const std::string& role, const std::string& content,
                                    std::optional<int64_t> tokenCount, double createdAt) {
    UUID id = UUID::random();
    Message message(id, conversationID, role, content, tokenCount, std::nullopt, createdAt);
    pool_->write([&](SqliteConnection& db) { storeRows::insert(db, message); });
    return id;
}

int DatabaseManager::appendMessageBatch(const std::vector<Message>& messages) {
    if (messages.empty()) return 0;
    pool_->write(
        [&](SqliteConnection& db) {
            for (const auto& message : messages) storeRows::insert(db, message);
        },
        "IMMEDIATE");
    return int(messages.size());
}

void DatabaseManager::updateMessageContent(const UUID& id, const std::string& content,
                                           std::optional<int64_t> tokenCount) {
    pool_->write([&](SqliteConnection& db) {
        db.cached("UPDATE message SET content = ?, tokenCount = COALESCE(?, tokenCount) WHERE id = ?")
            .bind(1, content)
            .bind(2, tokenCount)
            .bind(3, id.string())
            .run();
    });
}

void DatabaseManager::setEmbedding(const UUID& messageID, const Bytes& embedding) {
    pool_->write([&](SqliteConnection& db) {
        db.cached("UPDATE message SET embedding = ? WHERE id = ?")
            .bind(1, std::span<const uint8_t>(embedding))
            .bind(2, messageID.string())
            .run();
    });
}

void DatabaseManager::updateTitle(const UUID& conversationID, const std::string& title) {
    pool_->write([&](SqliteConnection& db) {
        db.cached("UPDATE conversation SET title = ? WHERE id = ?").bind(1, title).bind(2, conversationID.string()).run();
    });
}

void DatabaseManager::deleteConversation(const UUID& id) {
    pool_->write([&](SqliteConnection& db) {
        db.cached("DELETE FROM conversation WHERE id = ?").bind(1, id.string()).run();
    });
}

std::vector<Conversation> DatabaseManager::conversations(ConversationKind kind) {
    return pool_->read([&](SqliteConnection& db) {
        auto& query = db.cached(selectConversations);
        query.bind(1, conversationKindText(kind));
        return storeRows::conversations(query);
    });
}

std::vector<Message> DatabaseManager::messages(const UUID& conversationID) {
    return pool_->read([&](SqliteConnection& db) {
        auto& query = db.cached(selectMessages);
        query.bind(1, conversationID.string());
        return storeRows::messages(query);
    });
}

int64_t DatabaseManager::messageCount() {
    return pool_->read([](SqliteConnection& db) { return db.scalarInteger("SELECT COUNT(*) FROM message"); });
}

std::string DatabaseManager::integrityCheck() {
    return pool_->read([](SqliteConnection& db) {
        std::vector<std::string> integrity;
        store::Statement check(db.handle(), "PRAGMA integrity_check");
        while (check.step()) integrity.push_back(check.text(0));
        int64_t violations = 0;
        store::Statement foreignKeys(db.handle(), "PRAGMA foreign_key_check");
        while (foreignKeys.step()) ++violations;

        std::vector<std::string> problems;
        if (!(integrity.size() == 1 && integrity[0] == "ok")) {
            std::string joined;
            for (size_t i = 0; i < integrity.size(); ++i) joined += (i ? "; " : "") + integrity[i];
            problems.push_back("integrity_check: " + joined);
        }
        if (violations > 0) problems.push_back("foreign_key_check: " + std::to_string(violations) + " violation(s)");
        if (problems.empty()) return std::string("ok");
        std::string report;
        for (size_t i = 0; i < problems.size(); ++i) report += (i ? " | " : "") + problems[i];
        return report;
    });
}

std::unique_ptr<store::ValueObservation<std::vector<Message>>> DatabaseManager::observeMessages(
    const UUID& conversationID) {
    std::string id = conversationID.string();
    return std::make_unique<store::ValueObservation<std::vector<Message>>>(
        pool_, std::vector<std::string>{"message"}, [id](SqliteConnection& db) {
            auto& query = db.cached(selectMessages);
            query.bind(1, id);
            return storeRows::messages(query);
        });
}

std::unique_ptr<store::ValueObservation<std::vector<Conversation>>> DatabaseManager::observeConversations(
    ConversationKind kind) {
    return std::make_unique<store::ValueObservation<std::vector<Conversation>>>(
        pool_, std::vector<std::string>{"conversation"}, [kind](SqliteConnection& db) {
            auto& query = db.cached(selectConversations);
            query.bind(1, conversationKindText(kind));
            return storeRows::conversations(query);
        });
}

DatabaseManager::Bytes DatabaseManager::embed(const std::string&) {
    throw StoreError::notImplemented("embed() needs a bundled CoreML embedding model (.mlmodelc). Retrieval "
                                     "(semanticSearch/cosine) is implemented and ready.");
}

} // namespace vivirov
