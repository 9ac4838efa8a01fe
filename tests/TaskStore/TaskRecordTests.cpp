#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/tkg/tkg_store.h"
#include "tests/KnowledgeGraph/ChildProcess.h"
#include "tests/KnowledgeGraph/GraphFixture.h"
#include "tests/support/TempDir.h"
#include "tkg.h"

using namespace vivirov::test;

namespace {

struct Tasks {
    TempDir dir;
    std::string path = dir.file("tasks.tkg");
    tkg_task_store* s = tkg_tasks_open(path.c_str(), nullptr, 0);
    ~Tasks() { tkg_tasks_close(s); }
    int64_t add(const std::string& title, const std::string& criteria = "true", int64_t time = 0) {
        return tkg_tasks_add(s, title.c_str(), criteria.c_str(), time, nullptr, 0);
    }
    std::vector<tkg_task_row> list(int32_t capacity = 64) {
        std::vector<tkg_task_row> rows(static_cast<size_t>(capacity));
        rows.resize(size_t(tkg_tasks_list(s, rows.data(), capacity)));
        return rows;
    }
};

std::string title(tkg_task_store* s, uint64_t id, int32_t size = 256) {
    std::string buf(size_t(size), '?');
    const int32_t n = tkg_task_title(s, id, buf.data(), size);
    return n < 0 ? "<" + std::to_string(n) + ">" : buf.substr(0, size_t(n));
}

} // namespace

TEST(TaskRecords, FirstTaskIsACriteriaNodeATaskNodeAndAnEdge) {
    Tasks t;
    ASSERT_NE(t.s, nullptr);
    struct stat st {};
    ASSERT_EQ(stat(t.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1839104);
    EXPECT_EQ(t.add("Ship it", "make test", 1700000000123456), 1);

    tkg::Store raw;
    std::string err;
    ASSERT_TRUE(raw.open(t.path, err)) << err;
    const tkg::Node* n = raw.nodes();
    EXPECT_EQ(raw.header()->node_capacity, 4096u);
    EXPECT_EQ(std::string(raw.strings() + n[0].title_offset), "criteria: Ship it");
    EXPECT_EQ(n[0].node_type, 6u);
    EXPECT_EQ(std::string(raw.strings() + n[0].content_offset, n[0].content_length), "make test");
    EXPECT_EQ(std::string(raw.strings() + n[1].title_offset), "Ship it");
    EXPECT_EQ(n[1].node_type, 5u);
    EXPECT_EQ(n[1].content_length, 0u);
    EXPECT_EQ(n[1].created_at, 1700000000123456);
    EXPECT_EQ(n[1].modified_at, 1700000000123456);
    ASSERT_EQ(raw.header()->edge_count, 1u);
    const tkg::Edge& e = raw.edges()[0];
    EXPECT_EQ(e.source_id, 1u);
    EXPECT_EQ(e.target_id, 0u);
    EXPECT_EQ(e.edge_type, 3u);
    EXPECT_EQ(e.weight, 1.0f);
    EXPECT_EQ(e.created_at, 1700000000u);

    const auto rows = t.list();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].id, 1u);
    EXPECT_EQ(rows[0].status, 1u);
    EXPECT_EQ(rows[0].attempts, 0u);
    EXPECT_EQ(rows[0].last_run, 0);
    EXPECT_EQ(rows[0].criteria_id, 0u);
    EXPECT_EQ(tkg_tasks_count(t.s), 1u);
}

TEST(TaskRecords, StatusAndAttemptsChangeOnlyTasks) {
    Tasks t;
    const int64_t a = t.add("a"), b = t.add("b"), c = t.add("c");
    EXPECT_EQ(tkg_tasks_set_status(t.s, uint64_t(b), 3, 42), 0);
    EXPECT_EQ(tkg_tasks_bump_attempt(t.s, uint64_t(b), 7), 0);
    EXPECT_EQ(tkg_tasks_bump_attempt(t.s, uint64_t(b), 9), 0);
    EXPECT_EQ(tkg_tasks_set_status(t.s, 0, 3, 1), -1) << "a criteria node is not a task";
    EXPECT_EQ(tkg_tasks_bump_attempt(t.s, 0, 1), -1);
    EXPECT_EQ(tkg_tasks_set_status(t.s, 99, 3, 1), -1);
    EXPECT_EQ(tkg_tasks_set_status(nullptr, uint64_t(a), 3, 1), -1);

    const auto rows = t.list();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].status, 3u);
    EXPECT_EQ(rows[1].attempts, 2u);
    EXPECT_EQ(rows[1].last_run, 9);
    EXPECT_EQ(rows[0].status, 1u);
    const auto two = t.list(2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].id, uint64_t(a));
    EXPECT_EQ(two[1].id, uint64_t(b));
    EXPECT_EQ(rows[2].id, uint64_t(c));
    tkg::Store raw;
    std::string err;
    ASSERT_TRUE(raw.open(t.path, err));
    EXPECT_EQ(raw.nodes()[b].modified_at, 42);
    EXPECT_EQ(raw.nodes()[0].modified_at, 0) << "the refused change wrote nothing";
}

TEST(TaskRecords, TitlesAndCommandsAreCopiedToFit) {
    Tasks t;
    const int64_t id = t.add("Ship it", "make test");
    EXPECT_EQ(title(t.s, uint64_t(id), 3), "Sh");
    EXPECT_EQ(title(t.s, uint64_t(id)), "Ship it");
    EXPECT_EQ(title(t.s, 0), "criteria: Ship it");
    EXPECT_EQ(title(t.s, 2), "<-1>");
    char buf[16] = "junk";
    EXPECT_EQ(tkg_task_criteria_cmd(t.s, uint64_t(id), buf, sizeof buf), 9);
    EXPECT_STREQ(buf, "make test");
    EXPECT_EQ(tkg_task_criteria_cmd(t.s, 0, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "") << "a bad id clears the buffer";
    EXPECT_EQ(tkg_task_title(t.s, uint64_t(id), nullptr, 4), -1);
    EXPECT_EQ(tkg_task_title(t.s, uint64_t(id), buf, 0), -1);
    EXPECT_EQ(tkg_task_title(nullptr, 0, buf, sizeof buf), -1);
    const int64_t empty = t.add("no command", "");
    EXPECT_EQ(tkg_task_criteria_cmd(t.s, uint64_t(empty), buf, sizeof buf), 0);
    EXPECT_EQ(tkg_tasks_count(nullptr), 0u);
    EXPECT_EQ(tkg_tasks_list(t.s, nullptr, 4), 0);
    char err[16];
    EXPECT_EQ(tkg_tasks_add(t.s, nullptr, "x", 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "null arg");
    EXPECT_EQ(tkg_tasks_open(nullptr, err, sizeof err), nullptr);
    EXPECT_STREQ(err, "null path");
}

TEST(TaskRecords, OpeningCreatesOnlyMissingOrEmptyFiles) {
    TempDir dir;
    const std::string empty = dir.write("empty.tkg", "");
    tkg_task_store* s = tkg_tasks_open(empty.c_str(), nullptr, 0);
    ASSERT_NE(s, nullptr);
    tkg_tasks_close(s);
    EXPECT_EQ(readFile(empty).size(), 1839104u);

    const std::string junk = dir.write("junk.tkg", std::string(300, 'j'));
    char err[64];
    EXPECT_EQ(tkg_tasks_open(junk.c_str(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "bad magic — not a .tkg");
    EXPECT_EQ(readFile(junk), std::string(300, 'j')) << "a damaged file is never replaced";
    EXPECT_EQ(tkg_tasks_open(dir.file("no/such/dir/t.tkg").c_str(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "open: No such file or directory");

    // Tasks survive a reopen.
    s = tkg_tasks_open(empty.c_str(), nullptr, 0);
    tkg_tasks_add(s, "kept", "true", 0, nullptr, 0);
    tkg_tasks_close(s);
    s = tkg_tasks_open(empty.c_str(), nullptr, 0);
    EXPECT_EQ(title(s, 1), "kept");
    tkg_tasks_close(s);
}

TEST(TaskRecords, EveryChangeMovesTheModificationTime) {
    Tasks t;
    const int64_t id = t.add("watched");
    auto backdate = [&] {
        const timespec old[2] = {{1000, 0}, {1000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, t.path.c_str(), old, 0), 0);
    };
    auto modified = [&] {
        struct stat st {};
        stat(t.path.c_str(), &st);
        return st.st_mtim.tv_sec;
    };
    backdate();
    t.add("another");
    EXPECT_GT(modified(), 1000);
    backdate();
    tkg_tasks_set_status(t.s, uint64_t(id), 2, 0);
    EXPECT_GT(modified(), 1000);
    backdate();
    tkg_tasks_bump_attempt(t.s, uint64_t(id), 0);
    EXPECT_GT(modified(), 1000);
    backdate();
    tkg_tasks_set_status(t.s, 0, 2, 0);
    EXPECT_EQ(modified(), 1000) << "a refused change is not announced";
}

TEST(TaskRecords, TheTwoThousandFortyNinthTaskGrowsTheFile) {
    Tasks t;
    for (int i = 0; i < 2049; ++i) ASSERT_EQ(t.add("task " + std::to_string(i)), 2 * i + 1);
    tkg::Store raw;
    std::string err;
    ASSERT_TRUE(raw.open(t.path, err));
    EXPECT_EQ(raw.header()->node_capacity, 8192u);
    EXPECT_EQ(tkg_tasks_count(t.s), 2049u);
    EXPECT_EQ(title(t.s, 1), "task 0");
    EXPECT_EQ(title(t.s, 4097), "task 2048");
}

TEST(TaskRecords, FailedAddLeavesNoPartOfTheTask) {
    Tasks t;
    // The second task's criteria node fits in the string table, its title
    // does not, and the growth is refused.
    const std::string big(300000, 'T');
    ASSERT_EQ(t.add(big), 1);
    const std::string bytes = readFile(t.path);
    const std::string out = runInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{bytes.size(), bytes.size()};
        setrlimit(RLIMIT_FSIZE, &limit);
        char err[128] = {};
        const int64_t id = tkg_tasks_add(t.s, (big + "2").c_str(), "x", 0, err, sizeof err);
        return std::to_string(id) + " " + err + " count " + std::to_string(tkg_tasks_count(t.s));
    });
    EXPECT_EQ(out, "-1 ftruncate grow: File too large count 1");
    EXPECT_EQ(readFile(t.path), bytes);
}

TEST(TaskRecords, ConcurrentChangesAndReads) {
    Tasks t;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 3000; ++i) {
            const int64_t id = t.add("task " + std::to_string(i), "echo " + std::to_string(i));
            tkg_tasks_set_status(t.s, uint64_t(id), 2, i);
            tkg_tasks_bump_attempt(t.s, uint64_t(id), i);
        }
        done = true;
    });
    int bad = 0;
    std::vector<tkg_task_row> rows(4096);
    while (!done) {
        const int32_t n = tkg_tasks_list(t.s, rows.data(), 4096);
        for (int32_t i = 0; i < n; i += 50) {
            char buf[64];
            if (tkg_task_criteria_cmd(t.s, rows[i].id, buf, sizeof buf) < 0) ++bad;
            if (title(t.s, rows[i].id).rfind("task ", 0) != 0) ++bad;
        }
        tkg_tasks_count(t.s);
    }
    writer.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(tkg_tasks_count(t.s), 3000u);
}

TEST(TaskRecords, TwoHandlesOnOneFileSeeEachOthersTasksAndGrowth) {
    Tasks t;
    tkg_task_store* other = tkg_tasks_open(t.path.c_str(), nullptr, 0);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(title(other, 0), "<-1>");
    // Both handles add at once; one of them grows the file past its first
    // capacity while the other still maps the old size.
    std::thread second([&] {
        for (int i = 0; i < 1500; ++i) tkg_tasks_add(other, ("second " + std::to_string(i)).c_str(), "b", 0, nullptr, 0);
    });
    for (int i = 0; i < 1500; ++i) t.add("first " + std::to_string(i), "a");
    second.join();
    EXPECT_EQ(tkg_tasks_count(t.s), 3000u);
    EXPECT_EQ(tkg_tasks_count(other), 3000u);
    int firsts = 0, seconds = 0;
    for (const tkg_task_row& row : t.list(4096)) {
        const std::string name = title(other, row.id);
        char cmd[8];
        tkg_task_criteria_cmd(other, row.id, cmd, sizeof cmd);
        if (name.rfind("first ", 0) == 0 && std::string(cmd) == "a") ++firsts;
        if (name.rfind("second ", 0) == 0 && std::string(cmd) == "b") ++seconds;
    }
    EXPECT_EQ(firsts, 1500);
    EXPECT_EQ(seconds, 1500);
    EXPECT_EQ(tkg_tasks_set_status(other, 5999, 4, 1), 0) << "the last task, added through the other handle";
    tkg_tasks_close(other);
}
