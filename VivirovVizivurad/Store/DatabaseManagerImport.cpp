// The one-time import of the legacy JSON chat archive into the database.
#include <fstream>
#include <sstream>

#include "VivirovVizivurad/Store/ChatArchive.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "VivirovVizivurad/Store/StoreRows.h"

namespace vivirov {

int DatabaseManager::importLegacyJSONIfNeeded() { return importLegacyJSONIfNeeded(chatArchivePath()); }

int DatabaseManager::importLegacyJSONIfNeeded(const std::string& archivePath) {
    int64_t existing = pool_->read(
        [](store::SqliteConnection& db) { return db.scalarInteger("SELECT COUNT(*) FROM conversation"); });
    if (existing > 0) return 0; // never import into a database twice

    std::ifstream in(archivePath, std::ios::binary);
    if (!in) return 0;
    std::stringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) return 0;
    auto archive = ChatArchive::decode(bytes.str());
    if (!archive) return 0;

    // One transaction: any failing insert (a message of an unknown session,
    // a repeated id) leaves nothing of the file behind.
    return pool_->write([&](store::SqliteConnection& db) {
        for (const auto& session : archive->sessions)
            storeRows::insert(db, Conversation(session.id, ConversationKind::chat, session.title,
                                               session.createdDate + archiveEpochOffset));
        int count = 0;
        for (const auto& message : archive->messages) {
            storeRows::insert(db, Message(message.id, message.sessionID, message.role, message.content, std::nullopt,
                                          std::nullopt, message.timestamp + archiveEpochOffset));
            ++count;
        }
        return count;
    });
}

} // namespace vivirov
