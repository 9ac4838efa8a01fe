#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <chrono>
#include <string>
#include <thread>

#include "tests/Store/StoreFixture.h"

extern char** environ;

namespace vivirov::test {

namespace {
constexpr int batchSize = 20000;
const char* const dbVariable = "VIVIROV_STORE_CRASH_DB";
const char* const fdVariable = "VIVIROV_STORE_CRASH_FD";
} // namespace

// Runs only inside the child process that the test below starts: writes
// large batches until it is killed, reporting each commit on a pipe.
TEST(StoreCrashChild, WritesBatchesUntilKilled) {
    const char* path = std::getenv(dbVariable);
    const char* fd = std::getenv(fdVariable);
    if (!path || !fd) GTEST_SKIP() << "runs only as the crash test's child";
    DatabaseManager store(path);
    int report = std::atoi(fd);
    auto prepare = [](int batch) {
        UUID conversation = UUID::random();
        std::vector<Message> messages;
        messages.reserve(batchSize);
        for (int i = 0; i < batchSize; ++i)
            messages.emplace_back(UUID::random(), conversation, "user", "row " + std::to_string(i) + " of a batch",
                                  std::nullopt, std::nullopt, double(i));
        return std::make_pair(conversation, std::move(messages));
    };
    auto next = prepare(0);
    for (int batch = 0;; ++batch) {
        store.ensureConversation(next.first, ConversationKind::chat, "batch " + std::to_string(batch));
        if (::write(report, "s", 1) < 0) return; // the batch starts
        store.appendMessageBatch(next.second);
        if (::write(report, "c", 1) < 0) return; // the batch has committed
        next = prepare(batch + 1);
    }
}

TEST(StoreCrashSafety, ProcessKilledMidBatchLeavesWholeBatchesOnly) {
    TempDir dir;
    std::string path = dir.file("crash.sqlite");
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string dbSetting = std::string(dbVariable) + "=" + path;
    std::string fdSetting = std::string(fdVariable) + "=3";
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    env.push_back(dbSetting.data());
    env.push_back(fdSetting.data());
    env.push_back(nullptr);
    std::string exe = "/proc/self/exe";
    std::string filter = "--gtest_filter=StoreCrashChild.WritesBatchesUntilKilled";
    char* argv[] = {exe.data(), filter.data(), nullptr};
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, exe.c_str(), &actions, nullptr, argv, env.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);

    // Kill the child shortly after its third batch has started: a batch of
    // this size takes far longer than the pause, so the kill lands inside it.
    std::string events;
    char buffer[64];
    while (events.find("scscs") == std::string::npos) {
        ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        ASSERT_GT(n, 0) << "child ended early";
        events.append(buffer, size_t(n));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(status));

    DatabaseManager store(path);
    EXPECT_EQ(store.integrityCheck(), "ok");
    auto conversations = store.conversations(ConversationKind::chat);
    ASSERT_GE(conversations.size(), 3u);
    int64_t total = 0;
    for (const auto& c : conversations) {
        size_t rows = store.messages(c.uuid()).size();
        EXPECT_TRUE(rows == 0 || rows == size_t(batchSize)) << c.title << ": " << rows;
        if (c.title == "batch 2") {
            EXPECT_EQ(rows, 0u) << "the kill came after the batch";
        }
        total += int64_t(rows);
    }
    EXPECT_EQ(store.messageCount(), total);
    EXPECT_EQ(store.search("batch", std::nullopt, -1).size(), size_t(total)); // the index matches the rows
}

} // namespace vivirov::test
