#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "VivirovKit/Support/UUID.h"
#include "VivirovVizivurad/Store/DatabasePool.h"
#include "VivirovVizivurad/Store/SqliteError.h"
#include "VivirovVizivurad/Store/StoreRecords.h"
#include "VivirovVizivurad/Store/ValueObservation.h"

namespace vivirov {

// The conversation store: conversations and their messages in one SQLite
// database with a full-text index and optional embeddings. Every operation
// blocks the calling (worker) thread until the database has done its work;
// every write is one transaction, so a failed operation changes nothing.
// Failures are store::SqliteError, passed on unchanged.
class DatabaseManager {
public:
    using Bytes = std::vector<uint8_t>;

    // The store's own error; only embed() throws it.
    class StoreError : public std::runtime_error {
    public:
        enum class Kind { notImplemented };
        static StoreError notImplemented(std::string message) { return StoreError(Kind::notImplemented, message); }
        Kind kind() const { return kind_; }
        const std::string& message() const { return message_; }

    private:
        StoreError(Kind kind, std::string message) : std::runtime_error(message), kind_(kind), message_(message) {}
        Kind kind_;
        std::string message_;
    };

    // Opens (creating if missing) the database file at `path` and brings its
    // schema up to date; throws store::SqliteError when either fails.
    explicit DatabaseManager(const std::string& path);

    // The application's store at <data>/com.dudive.vivirov/vivirov.sqlite,
    // opened on first use from any thread (concurrent first uses wait for it).
    static DatabaseManager& defaultStore();
    // What defaultStore() does with its path: the file store, or, when it
    // cannot be opened, one warning line and a store in memory.
    static std::unique_ptr<DatabaseManager> openOrFallBack(const std::string& path);

    const std::shared_ptr<store::DatabasePool>& pool() const { return pool_; }

    // Operations.
    UUID createConversation(ConversationKind kind, const std::string& title);
    void ensureConversation(const UUID& id, ConversationKind kind, const std::string& title);
    UUID appendMessage(const UUID& conversationID, const std::string& role, const std::string& content,
                       std::optional<int64_t> tokenCount = std::nullopt);
    // The same with a time taken earlier by nextMessageTime().
    UUID appendMessage(const UUID& conversationID, const std::string& role, const std::string& content,
                       std::optional<int64_t> tokenCount, double createdAt);
    // The time for the next message of a conversation: now, or just after
    // the last time given to that conversation, whichever is later.
    double nextMessageTime(const std::string& conversationID);
    int appendMessageBatch(const std::vector<Message>& messages);
    void updateMessageContent(const UUID& id, const std::string& content, std::optional<int64_t> tokenCount);
    void setEmbedding(const UUID& messageID, const Bytes& embedding);
    void updateTitle(const UUID& conversationID, const std::string& title);
    void deleteConversation(const UUID& id);
    std::vector<Conversation> conversations(ConversationKind kind);
    std::vector<Message> messages(const UUID& conversationID);
    int64_t messageCount();
    std::string integrityCheck();

    // Observations return at once; iterating starts them (see ValueObservation).
    std::unique_ptr<store::ValueObservation<std::vector<Message>>> observeMessages(const UUID& conversationID);
    std::unique_ptr<store::ValueObservation<std::vector<Conversation>>> observeConversations(ConversationKind kind);

    // Search.
    std::vector<Message> search(const std::string& text, std::optional<ConversationKind> kind, int64_t limit);
    static float cosine(std::span<const float> a, std::span<const float> b);
    std::vector<Message> semanticSearch(const Bytes& query, std::optional<ConversationKind> kind, int k);
    Bytes embed(const std::string& text);

    // The legacy archive import: copies <data>/com.dudive.vivirov/chat-history.json
    // (or `archivePath`) into an empty database; returns the messages imported.
    int importLegacyJSONIfNeeded();
    int importLegacyJSONIfNeeded(const std::string& archivePath);

    // The query of search(): the text's ASCII tokens, lower-cased, joined by
    // blanks (empty when there is none).
    static std::string fullTextQuery(const std::string& text);

private:
    struct InMemory {};
    explicit DatabaseManager(InMemory);
    void migrate();

    std::shared_ptr<store::DatabasePool> pool_;
    // Last time given to a message of each conversation by appendMessage.
    std::mutex timesMutex_;
    std::map<std::string, double> lastMessageTime_;
};

} // namespace vivirov
