#include "VivirovVizivurad/Store/SqliteStatement.h"

#include <sqlite3.h>

#include "VivirovVizivurad/Store/SqliteError.h"

namespace vivirov::store {

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
    int rc = sqlite3_prepare_v3(db, sql.data(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        auto error = SqliteError::fromConnection(db, rc);
        sqlite3_finalize(stmt_);
        throw error;
    }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

namespace {
void check(sqlite3* db, int rc) {
    if (rc != SQLITE_OK) throw SqliteError::fromConnection(db, rc);
}
} // namespace

Statement& Statement::bind(int index, std::string_view text) {
    check(db_, sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    return *this;
}
Statement& Statement::bind(int index, int64_t value) {
    check(db_, sqlite3_bind_int64(stmt_, index, value));
    return *this;
}
Statement& Statement::bind(int index, double value) {
    check(db_, sqlite3_bind_double(stmt_, index, value));
    return *this;
}
Statement& Statement::bind(int index, std::span<const uint8_t> blob) {
    // An empty byte string is still a BLOB, not NULL.
    static const uint8_t empty = 0;
    check(db_, sqlite3_bind_blob64(stmt_, index, blob.empty() ? &empty : blob.data(), blob.size(), SQLITE_TRANSIENT));
    return *this;
}
Statement& Statement::bindNull(int index) {
    check(db_, sqlite3_bind_null(stmt_, index));
    return *this;
}

bool Statement::step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    auto error = SqliteError::fromConnection(db_, rc);
    sqlite3_reset(stmt_);
    throw error;
}

void Statement::run() {
    while (step()) {
    }
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

bool Statement::isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
int64_t Statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }
double Statement::real(int column) const { return sqlite3_column_double(stmt_, column); }
std::string_view Statement::textView(int column) const {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    int n = sqlite3_column_bytes(stmt_, column);
    return p ? std::string_view(p, size_t(n)) : std::string_view();
}
std::string Statement::text(int column) const { return std::string(textView(column)); }
std::span<const uint8_t> Statement::blobView(int column) const {
    auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
    int n = sqlite3_column_bytes(stmt_, column);
    return p ? std::span<const uint8_t>(p, size_t(n)) : std::span<const uint8_t>();
}
Bytes Statement::blob(int column) const {
    auto view = blobView(column);
    return Bytes(view.begin(), view.end());
}
std::optional<int64_t> Statement::optionalInteger(int column) const {
    if (isNull(column)) return std::nullopt;
    return integer(column);
}
std::optional<Bytes> Statement::optionalBlob(int column) const {
    if (isNull(column)) return std::nullopt;
    return blob(column);
}
int Statement::columnCount() const { return sqlite3_column_count(stmt_); }

} // namespace vivirov::store
