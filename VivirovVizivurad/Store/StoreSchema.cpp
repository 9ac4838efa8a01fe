#include "VivirovVizivurad/Store/StoreSchema.h"

namespace vivirov::storeSchema {

const char* const v1Script = R"sql(CREATE TABLE conversation (
    id        TEXT PRIMARY KEY,
    routeKind TEXT   NOT NULL,
    title     TEXT   NOT NULL DEFAULT '',
    createdAt DOUBLE NOT NULL
);
CREATE TABLE message (
    id             TEXT PRIMARY KEY,
    conversationId TEXT   NOT NULL REFERENCES conversation(id) ON DELETE CASCADE,
    role           TEXT   NOT NULL,
    content        TEXT   NOT NULL,
    tokenCount     INTEGER,
    embedding      BLOB,
    createdAt      DOUBLE NOT NULL
);
CREATE INDEX idx_message_conv ON message(conversationId, createdAt);

CREATE VIRTUAL TABLE message_ft USING fts5(content, content='message', content_rowid='rowid');
CREATE TRIGGER message_ai AFTER INSERT ON message BEGIN
    INSERT INTO message_ft(rowid, content) VALUES (new.rowid, new.content);
END;
CREATE TRIGGER message_ad AFTER DELETE ON message BEGIN
    INSERT INTO message_ft(message_ft, rowid, content) VALUES('delete', old.rowid, old.content);
END;
CREATE TRIGGER message_au AFTER UPDATE ON message BEGIN
    INSERT INTO message_ft(message_ft, rowid, content) VALUES('delete', old.rowid, old.content);
    INSERT INTO message_ft(rowid, content) VALUES (new.rowid, new.content);
END;)sql";

const char* const v2DeleteOrphans = "DELETE FROM message WHERE conversationId NOT IN (SELECT id FROM conversation)";

const char* const v2CreateSlots = R"sql(CREATE TABLE dkv_slot (
    slot       INTEGER PRIMARY KEY,   -- data-block index in the DKV mmap region
    agentId    INTEGER NOT NULL,      -- owning agent
    tokenHash  INTEGER NOT NULL,
    layerHead  INTEGER NOT NULL,
    position   INTEGER NOT NULL,
    updatedAt  DOUBLE  NOT NULL
);
CREATE INDEX idx_dkv_slot_agent ON dkv_slot(agentId);)sql";

void registerMigrations(store::DatabaseMigrator& migrator) {
    migrator.registerMigration("v1_schema", [](store::SqliteConnection& db) { db.execute(v1Script); });
    migrator.registerMigration("v2_dkv_slot", [](store::SqliteConnection& db) {
        // execute() throws on failure, so the table is created only after the clean-up succeeded.
        db.execute(v2DeleteOrphans);
        db.execute(v2CreateSlots);
    });
}

} // namespace vivirov::storeSchema
