#include "VivirovVizivurad/Store/DatabaseMigrator.h"

#include <sqlite3.h>

#include <algorithm>

#include "VivirovVizivurad/Store/SqliteError.h"

namespace vivirov::store {

namespace {
const char* const createBookkeeping =
    "CREATE TABLE IF NOT EXISTS schema_migrations (identifier TEXT NOT NULL PRIMARY KEY)";
}

void DatabaseMigrator::registerMigration(std::string identifier, Migration migration) {
    migrations_.emplace_back(std::move(identifier), std::move(migration));
}

std::vector<std::string> DatabaseMigrator::appliedIdentifiers(SqliteConnection& connection) {
    std::vector<std::string> out;
    Statement exists(connection.handle(),
                     "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'schema_migrations'");
    if (!exists.step()) return out;
    Statement rows(connection.handle(), "SELECT identifier FROM schema_migrations ORDER BY rowid");
    while (rows.step()) out.push_back(rows.text(0));
    return out;
}

void DatabaseMigrator::migrate(DatabasePool& pool) const {
    pool.writeWithoutTransaction([&](SqliteConnection& db) {
        db.execute(createBookkeeping);
        auto applied = appliedIdentifiers(db);
        bool foreignKeysWereOn = db.scalarInteger("PRAGMA foreign_keys") != 0;
        for (const auto& [identifier, migration] : migrations_) {
            if (std::find(applied.begin(), applied.end(), identifier) != applied.end()) continue;
            // The pragma is ignored inside a transaction, so switch it around one.
            db.execute("PRAGMA foreign_keys = OFF");
            try {
                db.inTransaction("IMMEDIATE", [&] {
                    migration(db);
                    Statement check(db.handle(), "PRAGMA foreign_key_check");
                    if (check.step())
                        throw SqliteError(SQLITE_CONSTRAINT_FOREIGNKEY,
                                          "FOREIGN KEY constraint violation after migration " + identifier);
                    db.cached("INSERT INTO schema_migrations (identifier) VALUES (?)").bind(1, identifier).run();
                });
            } catch (...) {
                if (foreignKeysWereOn) db.execute("PRAGMA foreign_keys = ON");
                throw;
            }
            if (foreignKeysWereOn) db.execute("PRAGMA foreign_keys = ON");
        }
    });
}

} // namespace vivirov::store
