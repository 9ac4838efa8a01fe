// The pieces between engine threads and the GUI thread: throttles on a fake
// clock, the ring, and the byte bridge into the coalescer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VivirovKit/Support/Clock.h"
#include "VivirovVizivurad/EngineHost/QuintoraStreamBridge.h"
#include "VivirovVizivurad/EngineHost/TokenRingBuffer.h"
#include "VivirovVizivurad/EngineHost/TokenThrottle.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using test::waitUntil;

namespace {

constexpr uint64_t kMs = 1'000'000;

template <class T>
struct Recorder {
    std::mutex mutex;
    std::vector<T> items;
    void add(T v) {
        std::lock_guard lock(mutex);
        items.push_back(std::move(v));
    }
    std::vector<T> get() {
        std::lock_guard lock(mutex);
        return items;
    }
};

class ThrottleTest : public ::testing::Test {
protected:
    FakeClock clock_;
    ClockTimer timer_{clock_};
};

} // namespace

TEST_F(ThrottleTest, TokenFormDeliversAtOnceThenOnlyTheNewestHeldToken) {
    auto got = std::make_shared<Recorder<uint32_t>>();
    auto push = TokenThrottle::wrap([got](uint32_t t) { got->add(t); }, 100 * kMs, timer_);
    push(1);
    clock_.advance(5 * kMs);
    push(2);
    clock_.advance(5 * kMs);
    push(3);
    EXPECT_EQ(got->get(), std::vector<uint32_t>{1});

    clock_.advance(89 * kMs); // 99 ms after the first delivery
    EXPECT_EQ(got->get(), std::vector<uint32_t>{1});
    clock_.advance(1 * kMs);
    ASSERT_TRUE(waitUntil([&] { return got->get().size() == 2; }));
    EXPECT_EQ(got->get(), (std::vector<uint32_t>{1, 3}));

    clock_.advance(100 * kMs);
    push(4); // a full interval later: at once
    EXPECT_EQ(got->get(), (std::vector<uint32_t>{1, 3, 4}));
}

TEST_F(ThrottleTest, TextFormJoinsHeldPiecesAndAnExplicitFlushLeavesTheDeferredOneNothing) {
    auto got = std::make_shared<Recorder<std::string>>();
    auto throttle = TokenThrottle::wrapStringWithFlush([got](const std::string& s) { got->add(s); },
                                                       TokenThrottle::kFrameNanos, timer_);
    throttle.push("a");
    throttle.push("");
    clock_.advance(1 * kMs);
    throttle.push("b");
    throttle.push("c");
    EXPECT_EQ(got->get(), std::vector<std::string>{"a"});
    throttle.flush();
    EXPECT_EQ(got->get(), (std::vector<std::string>{"a", "bc"}));

    clock_.advance(20 * kMs); // the deferred flush comes due and finds nothing
    ASSERT_TRUE(waitUntil([&] { return timer_.isSettled(); }));
    throttle.push("d"); // 20 ms after the last delivery: at once
    throttle.push("e");
    clock_.advance(20 * kMs);
    ASSERT_TRUE(waitUntil([&] { return got->get().size() == 4; }));
    EXPECT_EQ(got->get(), (std::vector<std::string>{"a", "bc", "d", "e"}));
}

TEST_F(ThrottleTest, AThrottleDroppedBeforeItsFlushDeliversNothingMore) {
    auto got = std::make_shared<Recorder<std::string>>();
    {
        auto throttle = TokenThrottle::wrapStringWithFlush([got](const std::string& s) { got->add(s); }, 50 * kMs,
                                                           timer_);
        throttle.push("kept");
        throttle.push("lost");
    }
    clock_.advance(60 * kMs);
    ASSERT_TRUE(waitUntil([&] { return clock_.sleepers() == 0; }));
    EXPECT_EQ(got->get(), std::vector<std::string>{"kept"});
}

TEST_F(ThrottleTest, ManyProducersLoseNoText) {
    auto got = std::make_shared<Recorder<std::string>>();
    auto throttle = TokenThrottle::wrapStringWithFlush([got](const std::string& s) { got->add(s); },
                                                       TokenThrottle::kFrameNanos, timer_);
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) throttle.push(std::string(1, char('a' + t)));
        });
    for (auto& p : producers) p.join();
    throttle.flush();
    size_t letters = 0;
    for (const auto& s : got->get()) letters += s.size();
    EXPECT_EQ(letters, 2000u);
}

TEST(TokenRingBuffer, KeepsTheOldestAndCountsRefusedPushes) {
    struct Case {
        int capacity;
        int pushes;
        std::vector<int> drained;
        int dropped;
    };
    const Case cases[] = {
        {0, 3, {0, 1}, 1},
        {4, 5, {0, 1, 2, 3}, 1},
        {4, 4, {0, 1, 2, 3}, 0},
    };
    for (const auto& c : cases) {
        TokenRingBuffer<int> ring(c.capacity);
        for (int i = 0; i < c.pushes; ++i) ring.push(i);
        EXPECT_EQ(ring.drainAll(), c.drained) << c.capacity;
        EXPECT_EQ(ring.droppedCount(), c.dropped);
        EXPECT_TRUE(ring.isEmpty());
        EXPECT_TRUE(ring.drainAll().empty());
    }
    // Wrapping around keeps the order.
    TokenRingBuffer<std::string> ring(3);
    ring.push("a");
    ring.push("b");
    ring.drainAll();
    for (const char* s : {"c", "d", "e"}) EXPECT_TRUE(ring.push(s));
    EXPECT_FALSE(ring.push("f"));
    EXPECT_EQ(ring.drainAll(), (std::vector<std::string>{"c", "d", "e"}));
}

namespace {

class BridgeTest : public ::testing::Test {
protected:
    void send(uint32_t agent, const std::string& bytes, bool final = false) {
        quintoraBytesTrampoline(agent, reinterpret_cast<const uint8_t*>(bytes.data()), uint16_t(bytes.size()), final,
                                &bridge_);
    }
    std::string buffered() { return coalescer_->drain(0).text; }

    std::shared_ptr<StreamCoalescer> coalescer_ = std::make_shared<StreamCoalescer>();
    QuintoraStreamBridge bridge_{coalescer_};
    UUID first_ = UUID::random();
};

} // namespace

TEST_F(BridgeTest, CharactersSplitAcrossPiecesArriveWholePerAgent) {
    bridge_.begin(first_, 1);
    send(7, "\xC3");
    EXPECT_EQ(buffered(), "");
    send(7, "\xA9t\xC3");
    EXPECT_EQ(buffered(), "\xC3\xA9t");
    send(7, "\xA9");
    EXPECT_EQ(buffered(), "\xC3\xA9");

    // Two agents interleaved byte by byte: "ü" from 1, "ñ" from 2.
    send(1, "\xC3");
    send(2, "\xC3");
    send(1, "\xBC");
    send(2, "\xB1");
    EXPECT_EQ(buffered(), "\xC3\xBC\xC3\xB1");

    // A final piece without bytes flushes what is carried and forgets the agent.
    send(3, "x\xE2\x82");
    send(3, "", true);
    EXPECT_EQ(buffered(), "x\xEF\xBF\xBD");
    send(3, "\xAC"); // a lone continuation byte now: nothing is carried for 3
    EXPECT_EQ(buffered(), "\xEF\xBF\xBD");

    quintoraBytesTrampoline(1, reinterpret_cast<const uint8_t*>("a"), 1, false, nullptr);
    EXPECT_EQ(buffered(), "");
    EXPECT_EQ(coalescer_->drain(0).target, first_);
}

// Pieces of a stream begun in the previous turn never land in the new turn's
// message, also when they arrive after the new turn began.
TEST_F(BridgeTest, TheOldTurnsTailStaysOutOfTheNewTurn) {
    bridge_.begin(first_, 1);
    send(5, "old ");
    send(5, "\xC3"); // carried into the next turn: dropped by begin
    EXPECT_EQ(buffered(), "old ");

    const UUID second = UUID::random();
    bridge_.begin(second, 2);
    send(5, "\xA9 tail");
    send(6, "new");
    EXPECT_EQ(buffered(), "new");
    send(5, "", true); // the old stream ends
    send(5, " again");  // a new stream of agent 5 belongs to turn 2
    auto drained = coalescer_->drain(0);
    EXPECT_EQ(drained.text, " again");
    EXPECT_EQ(drained.target, second);
}

TEST_F(BridgeTest, ConcurrentAgentsEachKeepTheirText) {
    bridge_.begin(first_, 1);
    const std::string word = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x99\x82"; // é € 🙂
    std::vector<std::thread> agents;
    for (uint32_t a = 0; a < 4; ++a)
        agents.emplace_back([&, a] {
            for (int i = 0; i < 200; ++i)
                for (char byte : word) send(a, std::string(1, byte));
            send(a, "", true);
        });
    for (auto& t : agents) t.join();
    const std::string all = buffered();
    EXPECT_EQ(all.size(), word.size() * 800);
    EXPECT_EQ(all.find("\xEF\xBF\xBD"), std::string::npos);
}
