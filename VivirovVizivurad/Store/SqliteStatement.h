#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vivirov::store {

using Bytes = std::vector<uint8_t>;

// One prepared statement. Bind with 1-based indices, then step() until it
// answers false; reset() makes it reusable. Owned by its connection's cache
// or by the caller (see Connection::prepare).
class Statement {
public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::string_view text);
    Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
    Statement& bind(int index, int64_t value);
    Statement& bind(int index, int value) { return bind(index, int64_t(value)); }
    Statement& bind(int index, double value);
    Statement& bind(int index, std::span<const uint8_t> blob);
    Statement& bindNull(int index);
    template <class T>
    Statement& bind(int index, const std::optional<T>& value) {
        return value ? bind(index, *value) : bindNull(index);
    }

    // Advances to the next row; false when done. Throws SqliteError.
    bool step();
    // Runs to completion (for statements without result rows).
    void run();
    void reset();

    bool isNull(int column) const;
    int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    std::string_view textView(int column) const; // valid until the next step
    Bytes blob(int column) const;
    std::span<const uint8_t> blobView(int column) const; // valid until the next step
    std::optional<int64_t> optionalInteger(int column) const;
    std::optional<Bytes> optionalBlob(int column) const;
    int columnCount() const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace vivirov::store
