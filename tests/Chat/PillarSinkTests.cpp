#include <gtest/gtest.h>

#include <thread>

#include "VivirovVizivurad/Chat/PillarSink.h"
#include "tests/Chat/PillarFixture.h"

namespace vivirov::test {
namespace {

using PillarSink = PillarFixture;

TEST_F(PillarSink, TextStreamsSummariesAndToolsBecomeRowsInTheRunsOrder) {
    const UUID answer = addTurnRows(*chat);
    const int epoch = chat->startStream(answer);
    auto sink = makePillarSink(*chat, epoch, [] { return true; });
    // The run calls from its own threads.
    std::thread([&] {
        sink->surfaceText("Working");
        sink->surfaceText("\n\xF0\x9F\x93\x9D Summarized: older turns\n");
        sink->surfaceToolStart("Read File");
        sink->surfaceToolResult("Read File", "contents");
        sink->surfaceText(" on it.");
    }).join();
    ASSERT_TRUE(qtWaitUntil([&] { return chat->messages().size() == 4; }));
    chat->endTurn();

    const auto& rows = chat->messages();
    EXPECT_EQ(rows[1].content, "Working on it.") << "the summary stays out of the answer";
    EXPECT_EQ(rows[2].toolName, "context_summary");
    EXPECT_EQ(rows[2].toolArgsPreview, "compacted");
    EXPECT_EQ(rows[2].content, "\n\xF0\x9F\x93\x9D Summarized: older turns\n");
    EXPECT_EQ(rows[2].toolResult, "\xF0\x9F\x93\x9D Summarized: older turns");
    EXPECT_EQ(rows[3].toolName, "Read File");
    EXPECT_EQ(rows[3].toolArgsPreview, "assembling\xE2\x80\xA6");
    EXPECT_EQ(rows[3].toolResult, "contents");
    EXPECT_FALSE(rows[3].toolExecuting);
}

TEST_F(PillarSink, NothingReachesThePillarOnceItsOwnerIsGone) {
    const UUID answer = addTurnRows(*chat);
    const int epoch = chat->startStream(answer);
    auto sink = makePillarSink(*chat, epoch, [] { return false; });
    sink->surfaceToolStart("Bash");
    sink->surfaceText("\xF0\x9F\x93\x9D Summarized: x");
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(chat->messages().size(), 2u);
}

} // namespace
} // namespace vivirov::test
