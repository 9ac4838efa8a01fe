#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "VivirovVizivurad/Store/DatabaseObserver.h"
#include "tests/Store/StoreFixture.h"
#include "tests/support/WaitUntil.h"

namespace vivirov::test {
namespace {

using store::SqliteConnection;
using StoreObservers = StoreFixture;

// Counts the messages at each commit; its delivery runs `react`, as an
// observer that writes back or hands its result to another thread would.
class CountingObserver final : public store::DatabaseObserver {
public:
    explicit CountingObserver(std::function<void(int64_t)> react) : react_(std::move(react)) {}
    const std::vector<std::string>& observedTables() const override { return tables_; }
    Delivery read(SqliteConnection& connection) override {
        int64_t count = connection.inTransaction(
            "DEFERRED", [&] { return connection.scalarInteger("SELECT count(*) FROM message"); });
        return [this, count] {
            {
                std::lock_guard lock(mutex);
                seen.push_back(count);
            }
            if (react_) react_(count);
            return true;
        };
    }
    std::vector<int64_t> snapshot() {
        std::lock_guard lock(mutex);
        return seen;
    }

    std::mutex mutex;
    std::vector<int64_t> seen;

private:
    std::vector<std::string> tables_{"message"};
    std::function<void(int64_t)> react_;
};

TEST_F(StoreObservers, AnObserverThatWritesDoesNotDeadlockAndSeesCommitsInOrder) {
    UUID conversation = store->createConversation(ConversationKind::chat, "c");
    // Up to 5 messages, each delivery adds one more from inside the delivery.
    auto observer = std::make_shared<CountingObserver>([&](int64_t count) {
        if (count < 5) store->appendMessage(conversation, "assistant", "echo");
    });
    store->pool()->startObserving(observer);

    ASSERT_TRUE(waitUntil([&] { return !observer->snapshot().empty() && observer->snapshot().back() == 5; }));
    auto seen = observer->snapshot();
    EXPECT_EQ(seen, (std::vector<int64_t>{0, 1, 2, 3, 4, 5})) << "one result per commit, in commit order";
    EXPECT_EQ(store->messages(conversation).size(), 5u);
}

TEST_F(StoreObservers, AnObserverWaitingForAWritingThreadDoesNotBlockTheWrite) {
    UUID conversation = store->createConversation(ConversationKind::chat, "c");
    std::promise<void> writerDone;
    auto done = writerDone.get_future().share();
    // 0 while the observer still waits; then 1 when it saw the writer finish, 2 when it timed out.
    std::atomic<int> sawWriterFinish{0};
    // Like an observer that hands its result to the GUI thread and waits
    // while that thread is the one writing.
    auto observer = std::make_shared<CountingObserver>([&](int64_t count) {
        if (count == 1)
            sawWriterFinish = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready ? 1 : 2;
    });
    store->pool()->startObserving(observer);
    ASSERT_TRUE(waitUntil([&] { return observer->snapshot().size() == 1; })); // the first result

    store->appendMessage(conversation, "user", "written while the observer waits");
    writerDone.set_value();
    // The delivery records its count before it reacts, so wait for the reaction itself.
    ASSERT_TRUE(waitUntil([&] { return sawWriterFinish.load() != 0; }, std::chrono::seconds(30)));
    EXPECT_EQ(sawWriterFinish.load(), 1);
    EXPECT_EQ(observer->snapshot().size(), 2u);
}

} // namespace
} // namespace vivirov::test
