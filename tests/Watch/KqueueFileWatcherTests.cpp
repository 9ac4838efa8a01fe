#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Watch/KqueueFileWatcher.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

namespace vivirov {
namespace {

using test::waitUntil;

struct WatcherTest : ::testing::Test {
    FakeClock clock;
    test::TempDir dir;
    std::atomic<int> calls{0};
    std::string file;
    std::unique_ptr<KqueueFileWatcher> watcher;

    void SetUp() override {
        Clock::setCurrent(&clock);
        file = dir.write("page.html", "one");
        watcher = std::make_unique<KqueueFileWatcher>();
    }
    void TearDown() override {
        watcher.reset();
        Clock::setCurrent(nullptr);
    }
    std::function<void()> counter() {
        return [this] { ++calls; };
    }
    static void append(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::app) << text;
    }
};

TEST_F(WatcherTest, WriteCallsBack) {
    watcher->watch(file, counter());
    ASSERT_TRUE(watcher->isWatching());
    append(file, "more");
    EXPECT_TRUE(waitUntil([&] { return calls >= 1; }));
}

TEST_F(WatcherTest, RenameOverIsFollowedByTheNewFile) {
    watcher->watch(file, counter());
    const std::string replacement = dir.write("page.html.tmp", "two");
    ASSERT_EQ(std::rename(replacement.c_str(), file.c_str()), 0);
    ASSERT_TRUE(waitUntil([&] { return calls == 1 && watcher->rearmPending(); }));
    EXPECT_FALSE(watcher->isWatching());
    clock.advance(KqueueFileWatcher::rearmDelayNanos);
    ASSERT_TRUE(waitUntil([&] { return watcher->isWatching(); }));
    append(file, "three");
    EXPECT_TRUE(waitUntil([&] { return calls >= 2; }));
}

TEST_F(WatcherTest, DeleteCallsOnceThenStaysIdle) {
    watcher->watch(file, counter());
    std::filesystem::remove(file);
    ASSERT_TRUE(waitUntil([&] { return calls == 1 && watcher->rearmPending(); }));
    clock.advance(KqueueFileWatcher::rearmDelayNanos);
    ASSERT_TRUE(waitUntil([&] { return !watcher->rearmPending(); }));
    EXPECT_FALSE(watcher->isWatching());
    EXPECT_EQ(calls, 1);
}

TEST_F(WatcherTest, MissingPathAndDoubleStop) {
    watcher->watch(dir.file("absent.html"), counter());
    EXPECT_FALSE(watcher->isWatching());
    watcher->watch(file, counter());
    watcher->stop();
    watcher->stop();
    EXPECT_FALSE(watcher->isWatching());
    watcher->stop();
}

TEST_F(WatcherTest, StopOrNewWatchCancelsAPendingRearm) {
    const std::string other = dir.write("other.html", "x");
    for (bool byNewWatch : {false, true}) {
        watcher->watch(file, counter());
        std::filesystem::remove(file);
        ASSERT_TRUE(waitUntil([&] { return watcher->rearmPending(); }));
        if (byNewWatch) watcher->watch(other, counter());
        else watcher->stop();
        EXPECT_FALSE(watcher->rearmPending());
        dir.write("page.html", "back");
        clock.advance(KqueueFileWatcher::rearmDelayNanos * 2);
        EXPECT_EQ(watcher->watchedPath(), byNewWatch ? other : "");
    }
}

TEST_F(WatcherTest, PathIsStandardised) {
    std::filesystem::create_directories(dir.file("sub"));
    watcher->watch(dir.path() + "/./sub/../page.html", counter());
    EXPECT_EQ(watcher->watchedPath(), file);
    EXPECT_EQ(KqueueFileWatcher::standardisedPath("~/x/./y/../z"), KqueueFileWatcher::standardisedPath("~") + "/x/z");
}

} // namespace
} // namespace vivirov
