#include "VivirovVizivurad/Store/SqliteConnection.h"

#include <sqlite3.h>

#include "VivirovVizivurad/Store/SqliteError.h"

namespace vivirov::store {

SqliteConnection::SqliteConnection(const std::string& path, int flags, const std::vector<std::string>& setup) {
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        auto error = SqliteError::fromConnection(db_, rc);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw error;
    }
    sqlite3_extended_result_codes(db_, 1);
    // Another process (or an external tool) may hold the write lock briefly.
    sqlite3_busy_timeout(db_, 5000);
    sqlite3_update_hook(
        db_,
        [](void* self, int, const char*, const char* table, sqlite3_int64) {
            static_cast<SqliteConnection*>(self)->changed_.insert(table);
        },
        this);
    sqlite3_rollback_hook(db_, [](void* self) { static_cast<SqliteConnection*>(self)->changed_.clear(); }, this);
    try {
        for (const auto& sql : setup) execute(sql);
    } catch (...) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
}

SqliteConnection::~SqliteConnection() {
    cache_.clear(); // statements are finalised before the connection closes
    if (db_) sqlite3_close_v2(db_);
}

void SqliteConnection::execute(std::string_view sql) {
    // sqlite3_exec needs a terminated string.
    std::string text(sql);
    char* message = nullptr;
    int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        std::string why = message ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        int code = sqlite3_extended_errcode(db_);
        throw SqliteError(code == SQLITE_OK ? rc : code, why);
    }
}

Statement& SqliteConnection::cached(const std::string& sql) {
    auto it = cache_.find(sql);
    if (it == cache_.end()) it = cache_.emplace(sql, std::make_unique<Statement>(db_, sql)).first;
    it->second->reset();
    return *it->second;
}

int64_t SqliteConnection::scalarInteger(std::string_view sql) {
    Statement statement(db_, sql);
    return statement.step() ? statement.integer(0) : 0;
}

void SqliteConnection::rollbackQuietly() {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK TRANSACTION", nullptr, nullptr, nullptr);
    changed_.clear();
}

bool SqliteConnection::inTransaction() const { return !sqlite3_get_autocommit(db_); }

std::set<std::string> SqliteConnection::takeChangedTables() {
    std::set<std::string> out;
    out.swap(changed_);
    return out;
}

} // namespace vivirov::store
