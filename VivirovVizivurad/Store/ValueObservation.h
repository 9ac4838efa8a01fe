#pragma once
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "VivirovVizivurad/Store/DatabasePool.h"

namespace vivirov::store {

// The results of one query over time, as a sequence that a worker thread
// pulls with next(). The first call starts the observation and yields the
// current result; each later one yields a complete fresh result read after
// a committed write that changed one of the query's tables, in commit order.
// One consumer thread iterates; cancel() may come from any thread.
// A database error ends the sequence: next() throws it once, then answers
// none. Results wait in a buffer of at most `bufferLimit`; beyond that the
// oldest waiting one is dropped, since a newer complete result supersedes it.
template <class T>
class ValueObservation {
public:
    using Fetch = std::function<T(SqliteConnection&)>;
    static constexpr size_t bufferLimit = 64;

    ValueObservation(std::weak_ptr<DatabasePool> pool, std::vector<std::string> tables, Fetch fetch)
        : pool_(std::move(pool)), state_(std::make_shared<State>(std::move(tables), std::move(fetch))) {}

    // Waits for the next result; none when the sequence has ended (its
    // store is gone, a previous error was thrown) or `token` asked to stop.
    std::optional<T> next(std::stop_token token = {}) {
        if (!started_) {
            started_ = true;
            auto pool = pool_.lock();
            if (!pool) return std::nullopt;
            pool->startObserving(state_);
        }
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, token, [&] { return !state_->results.empty() || state_->ended; });
        if (!state_->results.empty()) {
            T value = std::move(state_->results.front());
            state_->results.pop_front();
            return value;
        }
        if (state_->error) {
            auto error = std::exchange(state_->error, nullptr);
            lock.unlock();
            std::rethrow_exception(error);
        }
        return std::nullopt;
    }

    // Ends the sequence; a waiting next() returns none.
    void cancel() {
        {
            std::lock_guard lock(state_->mutex);
            state_->ended = true;
        }
        state_->changed.notify_all();
    }

private:
    struct State final : DatabaseObserver {
        State(std::vector<std::string> t, Fetch f) : tables(std::move(t)), fetch(std::move(f)) {}
        const std::vector<std::string>& observedTables() const override { return tables; }
        Delivery read(SqliteConnection& connection) override {
            {
                std::lock_guard lock(mutex);
                if (ended) return {};
            }
            std::optional<T> value;
            std::exception_ptr failure;
            try {
                value = connection.inTransaction("DEFERRED", [&] { return fetch(connection); });
            } catch (...) {
                failure = std::current_exception();
            }
            return [this, value = std::move(value), failure]() mutable { return deliver(std::move(value), failure); };
        }

        bool deliver(std::optional<T> value, std::exception_ptr failure) {
            {
                std::lock_guard lock(mutex);
                if (ended) return false;
                if (failure) {
                    error = failure;
                    ended = true;
                } else {
                    if (results.size() >= bufferLimit) results.pop_front();
                    results.push_back(std::move(*value));
                }
            }
            changed.notify_all();
            return !failure;
        }

        std::vector<std::string> tables;
        Fetch fetch;
        std::mutex mutex;
        std::condition_variable_any changed;
        std::deque<T> results;
        std::exception_ptr error;
        bool ended = false;
    };

    std::weak_ptr<DatabasePool> pool_;
    std::shared_ptr<State> state_;
    bool started_ = false;
};

} // namespace vivirov::store
