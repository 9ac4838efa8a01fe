#include <thread>

#include "tests/Chat/PillarFixture.h"

namespace vivirov::test {
namespace {

using Drain = PillarFixture;

TEST_F(Drain, SmoothTicksMoveFourCharactersFromAProducerThread) {
    UUID target = addTurnRows(*chat);
    int epoch = chat->startStream(target);
    std::thread([&] { chat->coalescer().append("abcdefghij", epoch); }).join();

    std::vector<std::string> seen;
    for (int tick = 0; tick < 4; ++tick) {
        chat->flushTick();
        seen.push_back(chat->message(target)->content);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"abcd", "abcdefgh", "abcdefghij", "abcdefghij"}));
    // Three ticks moved text; the empty fourth did not touch the meter.
    EXPECT_EQ(swarm.stream().piecesInWindow(), 3u);
}

TEST_F(Drain, AClusterOfSeveralCodePointsIsOneCharacter) {
    std::string accented = "e";
    for (int i = 0; i < 400; ++i) accented += "\xCC\x81"; // combining acute: one cluster of 801 bytes
    const std::pair<const char*, std::string> clusters[] = {
        {"family emoji", "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"},
        {"letter with 400 marks", accented},
    };
    for (const auto& [name, cluster] : clusters) {
        SCOPED_TRACE(name);
        UUID target = addTurnRows(*chat);
        int epoch = chat->startStream(target);
        chat->coalescer().append(cluster + "abcd", epoch);
        chat->flushTick();
        EXPECT_EQ(chat->message(target)->content, cluster + "abc");
        chat->endTurn();
    }
}

TEST_F(Drain, EndTurnMovesEverythingLeftBeforeTheArtifactIsRefreshed) {
    UUID target = addTurnRows(*cowork);
    int epoch = cowork->startStream(target);
    cowork->coalescer().append("Here:\n```html\n<p>x</p>\n", epoch);
    for (int tick = 0; tick < 6; ++tick) cowork->flushTick(); // 23 characters
    ASSERT_TRUE(cowork->currentArtifact());
    EXPECT_TRUE(cowork->currentArtifact()->isStreaming);
    cowork->coalescer().append("```\n", epoch);

    cowork->endTurn();
    EXPECT_EQ(cowork->message(target)->content, "Here:\n```html\n<p>x</p>\n```\n");
    ASSERT_TRUE(cowork->currentArtifact());
    EXPECT_EQ(cowork->currentArtifact()->content, "<p>x</p>\n");
    EXPECT_FALSE(cowork->currentArtifact()->isStreaming);
    EXPECT_FALSE(cowork->isStreaming());
    EXPECT_EQ(cowork->flushRate(), PillarContext::FlushRate::none);
    EXPECT_EQ(swarm.stream().piecesInWindow(), 0u); // the meter is reset at the end
}

TEST_F(Drain, ArtifactsBelongToTheCoworkPillarAndOutliveAnswersWithoutOne) {
    for (auto* pillar : {chat.get(), cowork.get()}) {
        SCOPED_TRACE(conversationKindText(pillar->kind()));
        UUID first = addTurnRows(*pillar);
        int epoch = pillar->startStream(first);
        pillar->coalescer().append("```svg\n<svg/>\n```\n", epoch);
        pillar->endTurn();

        UUID second = addTurnRows(*pillar);
        epoch = pillar->startStream(second);
        pillar->coalescer().append("plain words", epoch);
        pillar->endTurn();

        if (pillar->kind() == ConversationKind::chat) {
            EXPECT_FALSE(pillar->currentArtifact());
        } else {
            ASSERT_TRUE(pillar->currentArtifact());
            EXPECT_EQ(pillar->currentArtifact()->content, "<svg/>\n");
        }
    }
}

TEST_F(Drain, StaleAndVoidedTextNeverReachesARow) {
    UUID first = addTurnRows(*chat);
    int oldEpoch = chat->startStream(first);
    chat->endTurn();

    UUID second = addTurnRows(*chat);
    int epoch = chat->startStream(second);
    chat->coalescer().append("late", oldEpoch); // the previous turn's producer
    chat->coalescer().append("new", epoch);
    chat->voidTurn();
    chat->coalescer().append("after kill", epoch);
    chat->flushTick();
    chat->endTurn();

    EXPECT_EQ(chat->message(first)->content, "");
    EXPECT_EQ(chat->message(second)->content, "new");
}

TEST_F(Drain, TextForARemovedRowIsDroppedWithoutFeedingTheMeter) {
    UUID target = addTurnRows(*chat);
    int epoch = chat->startStream(target);
    chat->setMessages({}); // a new chat replaced the transcript mid-stream
    chat->coalescer().append("orphan", epoch);
    chat->flushTick();
    chat->endTurn();
    EXPECT_TRUE(chat->messages().empty());
    EXPECT_TRUE(chat->coalescer().isEmpty());
    EXPECT_EQ(swarm.stream().piecesInWindow(), 0u);
}

TEST_F(Drain, TimerRunsHotWhileStreamingOrAnAgentRunsAndColdOtherwise) {
    EXPECT_EQ(chat->flushRate(), PillarContext::FlushRate::none);
    chat->startStream(addTurnRows(*chat));
    const QTimer* hot = chat->flushTimer();
    EXPECT_EQ(chat->flushRate(), PillarContext::FlushRate::hot);
    EXPECT_EQ(hot->interval(), 8);
    EXPECT_EQ(hot->timerType(), Qt::PreciseTimer);

    chat->flushTick();
    EXPECT_EQ(chat->flushTimer(), hot) << "a tick at the same rate keeps the timer";

    // A turn ended by clearing the flag alone leaves the timer to the ticks.
    chat->setStreaming(false);
    activity.feed({AgentEvent::TurnStarted{"m", std::nullopt}});
    chat->flushTick();
    EXPECT_EQ(chat->flushTimer(), hot) << "an agent run keeps it hot";
    activity.feed(AgentEvent::turnFinished("done"));
    chat->flushTick();
    EXPECT_EQ(chat->flushRate(), PillarContext::FlushRate::cold);
    EXPECT_EQ(chat->flushTimer()->interval(), 83);
    const QTimer* cold = chat->flushTimer();
    chat->flushTick();
    EXPECT_EQ(chat->flushTimer(), cold);
    chat->setStreaming(true);
    chat->flushTick();
    EXPECT_EQ(chat->flushRate(), PillarContext::FlushRate::hot);

    chat->voidTurn();
    EXPECT_EQ(chat->flushRate(), PillarContext::FlushRate::none);
    EXPECT_EQ(chat->flushTimer(), nullptr);
}

TEST_F(Drain, TheTimerDrivesTheDrainOnTheEventLoop) {
    UUID target = addTurnRows(*chat);
    int epoch = chat->startStream(target);
    chat->coalescer().append("timer-driven text", epoch);
    EXPECT_TRUE(qtWaitUntil([&] { return chat->message(target)->content == "timer-driven text"; }));
    chat->endTurn();
}

TEST_F(Drain, FourProducersLoseNothing) {
    UUID target = addTurnRows(*chat);
    int epoch = chat->startStream(target);
    constexpr int perThread = 2000;
    std::vector<std::thread> producers;
    for (char letter : {'a', 'b', 'c', 'd'})
        producers.emplace_back([&, letter] {
            for (int i = 0; i < perThread; ++i) chat->coalescer().append(std::string(1, letter), epoch);
        });
    for (int i = 0; i < 200; ++i) chat->flushTick(); // drains while they append
    for (auto& p : producers) p.join();
    chat->endTurn();

    const std::string& content = chat->message(target)->content;
    ASSERT_EQ(content.size(), 4u * perThread);
    for (char letter : {'a', 'b', 'c', 'd'})
        EXPECT_EQ(std::count(content.begin(), content.end(), letter), perThread) << letter;
}

TEST_F(Drain, MeterPublishesAtMostEveryFiftyMilliseconds) {
    StreamMeter meter(&clock);
    EXPECT_TRUE(meter.note("a"));
    EXPECT_FALSE(meter.note("b"));
    clock.advance(49'000'000);
    EXPECT_FALSE(meter.note("c"));
    clock.advance(1'000'000);
    auto drives = meter.note("d");
    ASSERT_TRUE(drives);
    EXPECT_DOUBLE_EQ(drives->tps, 2.0); // four pieces in the 2 s window
    clock.advance(2'100'000'000);
    EXPECT_TRUE(meter.note("e"));
    EXPECT_EQ(meter.piecesInWindow(), 1u);
}

TEST_F(Drain, ActivityRunsWhileAnyStartedTurnIsOpen) {
    AgentEvent start{AgentEvent::TurnStarted{"m", std::nullopt}};
    activity.feed(AgentEvent::turnFinished("stray end"));
    EXPECT_FALSE(activity.isRunning());
    activity.feed(start);
    activity.feed(start);
    activity.feed(AgentEvent::turnFailed("x"));
    EXPECT_TRUE(activity.isRunning());
    activity.feed(AgentEvent::turnFinished("y"));
    EXPECT_FALSE(activity.isRunning());
    for (int i = 0; i < 600; ++i) activity.feed(AgentEvent::thinking(std::to_string(i)));
    EXPECT_EQ(activity.history().size(), AgentActivityModel::historyLimit);
    EXPECT_EQ(activity.history().back(), AgentEvent::thinking("599"));
}

} // namespace
} // namespace vivirov::test
