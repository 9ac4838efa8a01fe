#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VivirovKit/Support/SerialQueue.h"
#include "VivirovVizivurad/Store/DatabaseObserver.h"
#include "VivirovVizivurad/Store/SqliteConnection.h"

namespace vivirov::store {

// A database reached through one writer connection and, for a file in WAL
// mode, up to `maximumReaders` reader connections opened on demand. Writes
// are serialised on the writer, each in its own transaction; reads run
// concurrently on readers, each on the snapshot of one read transaction. An
// in-memory database has the writer only, and reads queue for it too.
class DatabasePool : public std::enable_shared_from_this<DatabasePool> {
public:
    struct Configuration {
        // Statements run on every new connection, in order, before anything else.
        std::vector<std::string> setup;
        int maximumReaders = 4;
    };

    static std::shared_ptr<DatabasePool> open(const std::string& path, Configuration configuration);
    static std::shared_ptr<DatabasePool> openInMemory(Configuration configuration);
    ~DatabasePool();

    // Runs `body(connection)` in one read transaction and returns its result.
    template <class F>
    auto read(F&& body) {
        ++accesses_;
        if (!fileBacked_) {
            std::lock_guard lock(writerMutex_);
            return writer_->inTransaction("DEFERRED", [&] { return body(*writer_); });
        }
        ReaderLease lease(*this);
        return lease.connection->inTransaction("DEFERRED", [&] { return body(*lease.connection); });
    }

    // Runs `body(connection)` in one write transaction (BEGIN `kind`) on the
    // writer; observers of the changed tables refresh after the commit.
    template <class F>
    auto write(F&& body, const char* kind = "IMMEDIATE") {
        ++accesses_;
        std::lock_guard lock(writerMutex_);
        if constexpr (std::is_void_v<decltype(body(*writer_))>) {
            writer_->inTransaction(kind, [&] { body(*writer_); });
            scheduleRefreshLocked();
        } else {
            auto result = writer_->inTransaction(kind, [&] { return body(*writer_); });
            scheduleRefreshLocked();
            return result;
        }
    }

    // Runs `body(connection)` on the writer outside any transaction (for
    // statements such as PRAGMA foreign_keys that a transaction ignores).
    template <class F>
    auto writeWithoutTransaction(F&& body) {
        ++accesses_;
        std::lock_guard lock(writerMutex_);
        struct Notify {
            DatabasePool& pool;
            ~Notify() { pool.scheduleRefreshLocked(); }
        } notify{*this};
        return body(*writer_);
    }

    // Registers `observer` (held weakly) and reads its first result, both
    // under the writer so that no commit falls between them. Results are
    // delivered on the pool's notifier thread (see DatabaseObserver).
    void startObserving(const std::shared_ptr<DatabaseObserver>& observer);

    bool isFileBacked() const { return fileBacked_; }
    // Reads and writes started so far (lets tests see that nothing was read).
    uint64_t accessCount() const { return accesses_.load(); }

private:
    DatabasePool(std::string path, Configuration configuration, bool fileBacked);

    struct ReaderLease {
        explicit ReaderLease(DatabasePool& pool);
        ~ReaderLease();
        DatabasePool& pool;
        std::unique_ptr<SqliteConnection> connection;
    };

    void scheduleRefreshLocked();
    struct Pending {
        std::weak_ptr<DatabaseObserver> observer;
        DatabaseObserver::Delivery delivery;
    };
    void deliver(const std::vector<Pending>& pending);

    std::string path_;
    Configuration configuration_;
    bool fileBacked_;
    std::atomic<uint64_t> accesses_{0};

    std::mutex writerMutex_;
    std::unique_ptr<SqliteConnection> writer_;
    std::vector<std::weak_ptr<DatabaseObserver>> observers_; // guarded by writerMutex_

    std::mutex readersMutex_;
    std::condition_variable readerReturned_;
    std::vector<std::unique_ptr<SqliteConnection>> idleReaders_;
    int openReaders_ = 0;

    // Created with the first observer (under writerMutex_). Declared last so
    // that it is destroyed first: queued deliveries finish while the rest
    // of the pool still exists.
    std::unique_ptr<SerialQueue> notifier_;
};

} // namespace vivirov::store
