// The idle-consumer doorbell: a sleeper is woken by every publication that
// follows the protocol, so a stream of single items, each published while
// the consumer may be falling asleep, is drained without relying on the
// sleep bound (an hour here: a lost wake would hang the test).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "engine/vm_v2/doorbell.h"

namespace {

constexpr auto kNever = std::chrono::hours(1);

TEST(Doorbell, EveryPublicationWakesTheSleepingConsumer) {
    vivirov::Doorbell bell;
    std::atomic<uint64_t> published{0};
    std::atomic<uint64_t> consumed{0};
    constexpr uint64_t kItems = 20000;
    std::thread consumer([&] {
        while (consumed.load() < kItems) {
            if (published.load(std::memory_order_seq_cst) > consumed.load()) {
                consumed.fetch_add(1);
                continue;
            }
            bell.sleep_unless([&] { return published.load(std::memory_order_seq_cst) > consumed.load(); }, kNever);
        }
    });
    for (uint64_t i = 0; i < kItems; ++i) {
        // Each item meets a consumer that has just emptied the queue: about
        // to sleep, or asleep.
        while (consumed.load() != i) std::this_thread::yield();
        published.store(i + 1, std::memory_order_seq_cst);
        bell.ring();
    }
    consumer.join();
    EXPECT_EQ(consumed.load(), kItems);
}

} // namespace
