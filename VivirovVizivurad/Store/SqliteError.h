#pragma once
#include <stdexcept>
#include <string>

struct sqlite3;

namespace vivirov::store {

// Every failure of the SQLite layer: the result code (extended when SQLite
// gives one) and SQLite's message. what() reads "SQLite error <code>: <message>".
class SqliteError : public std::runtime_error {
public:
    SqliteError(int code, const std::string& message);
    // The current error of `db` (its extended code and message).
    static SqliteError fromConnection(sqlite3* db, int fallbackCode);

    int code() const { return code_; }
    int primaryCode() const { return code_ & 0xff; }
    const std::string& message() const { return message_; }

private:
    int code_;
    std::string message_;
};

} // namespace vivirov::store
