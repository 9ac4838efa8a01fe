#include <gtest/gtest.h>

#include <cstdlib>

#include "VivirovKit/Scheduler/TaskStore.h"
#include "VivirovKit/Support/Clock.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

using namespace vivirov;
using vivirov::test::TempDir;

TEST(TaskStore, StatusesAndTheirTitles) {
    std::vector<std::string> titles;
    for (TaskStatus s : allTaskStatuses) {
        titles.emplace_back(title(s));
        EXPECT_EQ(taskStatusFromRaw(uint32_t(s)), s);
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"Backlog", "To Do", "Verifying", "Done", "Failed"}));
    EXPECT_EQ(taskStatusFromRaw(5), std::nullopt);
}

TEST(TaskStore, AddListAndChange) {
    TempDir dir;
    FakeClock clock(1'000'000'000, 1700000000.25);
    Clock::setCurrent(&clock);
    auto store = TaskStore::open(dir.file("tasks.tkg"));
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->path(), dir.file("tasks.tkg"));
    const auto id = store->add("Ship it", "make test");
    ASSERT_TRUE(id);
    EXPECT_EQ(store->list(), (std::vector<TaskRow>{{*id, TaskStatus::todo, 0, 0, *id - 1, "Ship it", "make test"}}));

    EXPECT_TRUE(store->bumpAttempt(*id));
    EXPECT_TRUE(store->bumpAttempt(*id));
    EXPECT_TRUE(store->setStatus(*id, TaskStatus::verifying));
    const TaskRow row = store->list().at(0);
    EXPECT_EQ(row.attempts, 2u);
    EXPECT_EQ(row.lastRun, 1700000000250000) << "wall-clock microseconds";
    EXPECT_EQ(row.status, TaskStatus::verifying);

    EXPECT_FALSE(store->setStatus(row.criteriaId, TaskStatus::done));
    EXPECT_FALSE(store->bumpAttempt(row.criteriaId));
    EXPECT_EQ(store->list().at(0), row);
    EXPECT_EQ(store->count(), 1);
    Clock::setCurrent(nullptr);
}

TEST(TaskStore, ListsAtMost4096InInsertionOrder) {
    TempDir dir;
    auto store = TaskStore::open(dir.file("tasks.tkg"));
    for (int i = 0; i < 5000; ++i) ASSERT_TRUE(store->add("t" + std::to_string(i), "true"));
    const auto rows = store->list();
    ASSERT_EQ(rows.size(), 4096u);
    EXPECT_EQ(rows.front().title, "t0");
    EXPECT_EQ(rows.back().title, "t4095");
    EXPECT_EQ(store->count(), 5000);
}

TEST(TaskStore, LongTextsArriveCut) {
    TempDir dir;
    auto store = TaskStore::open(dir.file("tasks.tkg"));
    store->add(std::string(600, 'a'), std::string(2000, 'c'));
    // 510 ASCII bytes, then a three-byte character cut after its first byte.
    store->add(std::string(510, 'b') + "\xE2\x82\xAC", "true");
    const auto rows = store->list();
    EXPECT_EQ(rows[0].title, std::string(511, 'a'));
    EXPECT_EQ(rows[0].criteria, std::string(1023, 'c'));
    EXPECT_EQ(rows[1].title, std::string(510, 'b') + "\xEF\xBF\xBD");
}

TEST(TaskStore, FailuresAreReported) {
    TempDir dir;
    {
        test::StderrCapture err;
        EXPECT_EQ(TaskStore::open(dir.file("missing/tasks.tkg")), nullptr);
        EXPECT_EQ(err.text(), "[taskstore] open failed: open: No such file or directory\n");
    }
    const std::string junk = dir.write("junk.tkg", std::string(200, 'x'));
    test::StderrCapture err;
    EXPECT_EQ(TaskStore::open(junk), nullptr);
    EXPECT_EQ(err.text(), "[taskstore] open failed: bad magic — not a .tkg\n");
}

TEST(TaskStore, DefaultPathCreatesItsFolder) {
    TempDir dir;
    const char* old = std::getenv("XDG_DATA_HOME");
    const std::string saved = old ? old : "";
    setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(TaskStore::defaultPath(), dir.path() + "/com.dudive.vivirov/tasks.tkg");
    EXPECT_NE(TaskStore::open(TaskStore::defaultPath()), nullptr);
    if (old)
        setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}
