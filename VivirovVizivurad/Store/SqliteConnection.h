#pragma once
#include <map>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <string_view>
#include <vector>

#include "VivirovVizivurad/Store/SqliteStatement.h"

struct sqlite3;

namespace vivirov::store {

// One SQLite connection with a cache of prepared statements and a record of
// the tables that the current transaction changed (for observation). Used by
// one thread at a time; the pool hands it out.
class SqliteConnection {
public:
    // Opens `path` with sqlite3_open_v2 `flags`, then runs each `setup`
    // statement in order; any failure closes the connection and throws.
    SqliteConnection(const std::string& path, int flags, const std::vector<std::string>& setup);
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    sqlite3* handle() const { return db_; }

    // Runs a script of one or more statements without result rows.
    void execute(std::string_view sql);
    // A prepared statement kept for the connection's life, reset and with
    // its bindings cleared; do not hold it across another use of the same text.
    Statement& cached(const std::string& sql);
    // A single-valued query (first column of the first row).
    int64_t scalarInteger(std::string_view sql);

    // Runs `body` inside BEGIN <kind> ... COMMIT; any exception rolls back
    // and is passed on, so a failed body changes nothing.
    template <class F>
    auto inTransaction(const char* kind, F&& body) -> decltype(body()) {
        execute(std::string("BEGIN ") + kind + " TRANSACTION");
        try {
            if constexpr (std::is_void_v<decltype(body())>) {
                body();
                execute("COMMIT TRANSACTION");
            } else {
                auto result = body();
                execute("COMMIT TRANSACTION");
                return result;
            }
        } catch (...) {
            rollbackQuietly();
            throw;
        }
    }
    void rollbackQuietly();
    bool inTransaction() const;

    // Tables changed since the last call (from the update hook); a rollback
    // forgets the changes of the rolled-back transaction.
    std::set<std::string> takeChangedTables();

private:
    sqlite3* db_ = nullptr;
    std::map<std::string, std::unique_ptr<Statement>, std::less<>> cache_;
    std::set<std::string> changed_;
};

} // namespace vivirov::store
