#pragma once
#include <string>
#include <vector>

namespace vivirov::store {

class SqliteConnection;

// Something that re-reads a query after each committed write that changed
// one of its tables. The pool calls refresh() on the writer connection,
// right after the commit and before the next write, so refreshes reach an
// observer in commit order.
class DatabaseObserver {
public:
    virtual ~DatabaseObserver() = default;
    virtual const std::vector<std::string>& observedTables() const = 0;
    // Reads the query and keeps the result; false ends the observation.
    virtual bool refresh(SqliteConnection& connection) = 0;
};

} // namespace vivirov::store
