#pragma once
#include <functional>
#include <string>
#include <vector>

namespace vivirov::store {

class SqliteConnection;

// Something that re-reads a query after each committed write that changed
// one of its tables. The pool calls read() on the writer connection right
// after the commit, under the writer's lock, so each result is exactly the
// state of its commit: read() must only read. What it returns is delivered
// afterwards on the pool's notifier thread, outside the writer's lock, one
// delivery at a time in commit order: a delivery may write to the store or
// wait for a thread that is writing.
class DatabaseObserver {
public:
    // Runs on the notifier thread; false ends the observation.
    using Delivery = std::function<bool()>;
    virtual ~DatabaseObserver() = default;
    virtual const std::vector<std::string>& observedTables() const = 0;
    virtual Delivery read(SqliteConnection& connection) = 0;
};

} // namespace vivirov::store
