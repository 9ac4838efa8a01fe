#pragma once
#include <string>
#include <vector>

namespace vivirov::store {

class SqliteConnection;

// Something that re-reads a query after each committed write that changed
// one of its tables. The pool calls refresh() on its notifier thread after
// the commit, outside the writer's lock, one refresh at a time in commit
// order; the connection it gets sees that commit (or a later one).
class DatabaseObserver {
public:
    virtual ~DatabaseObserver() = default;
    virtual const std::vector<std::string>& observedTables() const = 0;
    // Reads the query and keeps the result; false ends the observation.
    virtual bool refresh(SqliteConnection& connection) = 0;
};

} // namespace vivirov::store
