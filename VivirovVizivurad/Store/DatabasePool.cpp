#include "VivirovVizivurad/Store/DatabasePool.h"

#include <sqlite3.h>

#include <algorithm>

namespace vivirov::store {

DatabasePool::DatabasePool(std::string path, Configuration configuration, bool fileBacked)
    : path_(std::move(path)), configuration_(std::move(configuration)), fileBacked_(fileBacked) {}

DatabasePool::~DatabasePool() = default;

std::shared_ptr<DatabasePool> DatabasePool::open(const std::string& path, Configuration configuration) {
    std::shared_ptr<DatabasePool> pool(new DatabasePool(path, std::move(configuration), true));
    auto setup = pool->configuration_.setup;
    setup.push_back("PRAGMA journal_mode = WAL");
    pool->writer_ = std::make_unique<SqliteConnection>(
        path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, setup);
    if (pool->configuration_.maximumReaders < 1) pool->configuration_.maximumReaders = 1;
    return pool;
}

std::shared_ptr<DatabasePool> DatabasePool::openInMemory(Configuration configuration) {
    std::shared_ptr<DatabasePool> pool(new DatabasePool(":memory:", std::move(configuration), false));
    pool->writer_ = std::make_unique<SqliteConnection>(
        ":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, pool->configuration_.setup);
    return pool;
}

DatabasePool::ReaderLease::ReaderLease(DatabasePool& owner) : pool(owner) {
    std::unique_lock lock(pool.readersMutex_);
    pool.readerReturned_.wait(lock, [&] {
        return !pool.idleReaders_.empty() || pool.openReaders_ < pool.configuration_.maximumReaders;
    });
    if (!pool.idleReaders_.empty()) {
        connection = std::move(pool.idleReaders_.back());
        pool.idleReaders_.pop_back();
        return;
    }
    ++pool.openReaders_;
    lock.unlock();
    try {
        // Readers never write: a read-only connection turns a mistake into an error.
        connection = std::make_unique<SqliteConnection>(
            pool.path_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, pool.configuration_.setup);
    } catch (...) {
        std::lock_guard relock(pool.readersMutex_);
        --pool.openReaders_;
        pool.readerReturned_.notify_one();
        throw;
    }
}

DatabasePool::ReaderLease::~ReaderLease() {
    if (!connection) return;
    connection->rollbackQuietly(); // never hand on a connection inside a transaction
    {
        std::lock_guard lock(pool.readersMutex_);
        pool.idleReaders_.push_back(std::move(connection));
    }
    pool.readerReturned_.notify_one();
}

void DatabasePool::startObserving(const std::shared_ptr<DatabaseObserver>& observer) {
    ++accesses_;
    std::lock_guard lock(writerMutex_);
    if (!notifier_) notifier_ = std::make_unique<SerialQueue>("com.dudive.vivirov.store.observe");
    observers_.push_back(observer);
    std::vector<Pending> first{{observer, observer->read(*writer_)}};
    notifier_->async([this, first = std::move(first)] { deliver(first); });
}

void DatabasePool::scheduleRefreshLocked() {
    auto changed = writer_->takeChangedTables();
    if (changed.empty() || observers_.empty()) return;
    std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
    std::vector<Pending> pending;
    for (auto& weak : observers_) {
        auto observer = weak.lock();
        if (!observer) continue;
        const auto& tables = observer->observedTables();
        if (std::any_of(tables.begin(), tables.end(), [&](const std::string& t) { return changed.count(t); }))
            pending.push_back({weak, observer->read(*writer_)});
    }
    // Queued under the writer: deliveries keep the order of the commits.
    if (!pending.empty()) notifier_->async([this, pending = std::move(pending)] { deliver(pending); });
}

void DatabasePool::deliver(const std::vector<Pending>& pending) {
    for (const auto& [weak, delivery] : pending) {
        auto observer = weak.lock(); // alive for the delivery, or no delivery
        if (!observer) continue;
        if (delivery && delivery()) continue;
        std::lock_guard lock(writerMutex_);
        std::erase_if(observers_, [&](const auto& other) { return other.expired() || other.lock() == observer; });
    }
}

} // namespace vivirov::store
