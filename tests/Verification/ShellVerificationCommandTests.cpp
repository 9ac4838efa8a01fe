#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>
#include <future>
#include <stop_token>

#include "VivirovKit/Verification/ShellVerificationCommand.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

namespace vivirov {
namespace {

namespace fs = std::filesystem;

size_t entriesIn(const char* folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
    return count;
}

TEST(ShellVerificationCommand, ReportsExitCodeStreamsAndSignals) {
    test::TempDir folder;
    struct Case {
        const char* command;
        double timeout;
        int32_t exitCode;
        std::string stdout, stderr;
        bool signaled;
    } cases[] = {
        {"true", 30, 0, "", "", false},
        {"exit 3", 30, 3, "", "", false},
        {"printf 'to out\\n'; printf 'to err' >&2", 30, 0, "to out\n", "to err", false},
        {"printf 'a\\377b'", 30, 0, "a\xEF\xBF\xBD" "b", "", false},
        {"pwd", 30, 0, fs::canonical(folder.path()).string() + "\n", "", false},
        {"kill -KILL $$", 30, 9, "", "", true},
        // Past the limit: 124 and signalled, whatever the shell ended with.
        {"sleep 30", 0.3, 124, "", "", true},
        {"trap '' TERM; sleep 30", 0.3, 124, "", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const ProcessResult result = ShellVerificationCommand(c.command, folder.path(), c.timeout).execute();
        EXPECT_EQ(result, (ProcessResult{c.command, c.exitCode, c.stdout, c.stderr, c.signaled}));
        EXPECT_EQ(result.succeeded(), c.exitCode == 0 && !c.signaled);
    }
}

TEST(ShellVerificationCommand, NeverLaunchedRunsSayWhy) {
    test::TempDir folder;
    const std::string marker = folder.file("ran");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(ShellVerificationCommand("touch " + marker, folder.path(), 30).execute(stop.get_token()),
              (ProcessResult{"touch " + marker, 124, "", "cancelled before launch", true}));
    EXPECT_FALSE(fs::exists(marker));

    EXPECT_EQ(ShellVerificationCommand("true", folder.file("missing"), 30).execute(),
              (ProcessResult{"true", -1, "", "spawn failed: No such file or directory", false}));
}

TEST(ShellVerificationCommand, AStopWhileRunningEndsTheProcessAsSignalled) {
    test::TempDir folder;
    std::stop_source stop;
    const ShellVerificationCommand command("touch started; exec sleep 30", folder.path(), 60);
    auto result = std::async(std::launch::async, [&] { return command.execute(stop.get_token()); });
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(folder.file("started")); }));
    stop.request_stop();
    const ProcessResult r = result.get();
    EXPECT_TRUE(r.signaled);
    EXPECT_EQ(r.exitCode, SIGTERM);
    EXPECT_FALSE(r.succeeded());
}

TEST(ShellVerificationCommand, LeavesNoDescriptorOrThreadBehind) {
    test::TempDir folder;
    std::stop_source stopped;
    stopped.request_stop();
    const size_t descriptors = entriesIn("/proc/self/fd");
    const size_t threads = entriesIn("/proc/self/task");
    for (int i = 0; i < 20; ++i) {
        ShellVerificationCommand("true", folder.file("missing"), 30).execute();
        ShellVerificationCommand("true", folder.path(), 30).execute(stopped.get_token());
        ShellVerificationCommand("echo hi", folder.path(), 30).execute();
    }
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
    EXPECT_EQ(entriesIn("/proc/self/task"), threads);
}

} // namespace
} // namespace vivirov
