#include "VivirovVizivurad/Store/SqliteError.h"

#include <sqlite3.h>

namespace vivirov::store {

SqliteError::SqliteError(int code, const std::string& message)
    : std::runtime_error("SQLite error " + std::to_string(code) + ": " + message),
      code_(code), message_(message) {}

SqliteError SqliteError::fromConnection(sqlite3* db, int fallbackCode) {
    if (!db) return SqliteError(fallbackCode, sqlite3_errstr(fallbackCode));
    int code = sqlite3_extended_errcode(db);
    if (code == SQLITE_OK) code = fallbackCode;
    return SqliteError(code, sqlite3_errmsg(db));
}

} // namespace vivirov::store
