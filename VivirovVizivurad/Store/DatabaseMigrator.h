#pragma once
#include <functional>
#include <string>
#include <vector>

#include "VivirovVizivurad/Store/DatabasePool.h"

namespace vivirov::store {

// Applies registered migrations once in the life of a database: each one
// not yet recorded in "schema_migrations" runs, in registration order, in its
// own transaction that also records its identifier. Foreign keys are off
// while a migration runs, and any foreign-key violation left at its end
// rolls it back.
class DatabaseMigrator {
public:
    using Migration = std::function<void(SqliteConnection&)>;

    void registerMigration(std::string identifier, Migration migration);
    // Throws SqliteError; migrations committed before a failure stay applied.
    void migrate(DatabasePool& pool) const;

    static std::vector<std::string> appliedIdentifiers(SqliteConnection& connection);

private:
    std::vector<std::pair<std::string, Migration>> migrations_;
};

} // namespace vivirov::store
