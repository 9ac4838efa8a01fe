#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <thread>

#include "VivirovKit/Support/ProcessRunner.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

namespace vivirov {
namespace {

ProcessRequest shell(const std::string& script) {
    ProcessRequest r;
    r.program = "/bin/sh";
    r.arguments = {"-c", script};
    r.timeLimit = std::chrono::seconds(30);
    return r;
}

// Gone, or dead and waiting for its new parent to reap it.
bool processGone(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

pid_t readPid(const std::string& path) {
    std::ifstream in(path);
    pid_t pid = 0;
    in >> pid;
    return pid;
}

TEST(ProcessRunner, CollectsBothStreamsAndTheExitStatus) {
    ProcessRunResult r = ProcessRunner::run(shell("printf out; printf err >&2; exit 3"));
    EXPECT_TRUE(r.started);
    EXPECT_EQ(r.stdoutData, "out");
    EXPECT_EQ(r.stderrData, "err");
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_FALSE(r.signaled);
    EXPECT_FALSE(r.succeeded());
}

TEST(ProcessRunner, DrainsLargeOutputOnBothStreamsWithoutStalling) {
    // Far more than a pipe holds, interleaved on both streams.
    ProcessRunResult r = ProcessRunner::run(
        shell("head -c 1048576 /dev/zero | tr '\\0' a; head -c 1048576 /dev/zero | tr '\\0' b >&2; "
              "head -c 1048576 /dev/zero | tr '\\0' c"));
    ASSERT_TRUE(r.succeeded());
    EXPECT_EQ(r.stdoutData.size(), 2u << 20);
    EXPECT_EQ(r.stderrData.size(), 1u << 20);
    EXPECT_EQ(r.stdoutData.back(), 'c');
}

TEST(ProcessRunner, BoundsOutputWhileStillReadingToTheEnd) {
    ProcessRequest req = shell("head -c 4194304 /dev/zero; echo done >&2");
    req.maxOutputBytes = 65536;
    ProcessRunResult r = ProcessRunner::run(req);
    ASSERT_TRUE(r.succeeded()) << "the child must not block on a full pipe";
    EXPECT_EQ(r.stdoutData.size(), 65536u);
    EXPECT_TRUE(r.stdoutTruncated);
    EXPECT_EQ(r.stderrData, "done\n");
    EXPECT_FALSE(r.stderrTruncated);
}

TEST(ProcessRunner, TimeLimitKillsTheWholeProcessGroup) {
    test::TempDir dir;
    std::string pidFile = dir.file("child.pid");
    ProcessRequest req = shell("sleep 30 & echo $! > " + pidFile + "; wait");
    req.timeLimit = std::chrono::milliseconds(300);
    ProcessRunResult r = ProcessRunner::run(req);
    EXPECT_TRUE(r.timedOut);
    EXPECT_TRUE(r.signaled);
    EXPECT_EQ(r.exitStatus, SIGKILL);
    pid_t grandchild = readPid(pidFile);
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(test::waitUntil([&] { return processGone(grandchild); }));
}

TEST(ProcessRunner, WhatTheProgramLeavesRunningInItsGroupIsKilledWhenItEnds) {
    // The background sleep keeps the output pipe open; without the group kill
    // this call would wait for it.
    ProcessRequest req = shell("sleep 30 & echo $!");
    req.timeLimit = std::chrono::seconds(20);
    ProcessRunResult r = ProcessRunner::run(req);
    ASSERT_TRUE(r.succeeded());
    EXPECT_FALSE(r.timedOut);
    pid_t background = static_cast<pid_t>(std::stol(r.stdoutData));
    EXPECT_TRUE(test::waitUntil([&] { return processGone(background); }));
}

TEST(ProcessRunner, StopsReadingOnceEnoughLinesArrived) {
    ProcessRequest req;
    req.program = "/usr/bin/yes";
    req.timeLimit = std::chrono::seconds(20);
    req.stopAfterStdoutLines = 5;
    ProcessRunResult r = ProcessRunner::run(req);
    EXPECT_TRUE(r.stoppedEarly);
    EXPECT_FALSE(r.timedOut);
    EXPECT_GE(std::count(r.stdoutData.begin(), r.stdoutData.end(), '\n'), 5);
}

TEST(ProcessRunner, StopRequestKillsTheChild) {
    std::stop_source source;
    ProcessRequest req = shell("sleep 30");
    req.stopToken = source.get_token();
    std::jthread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        source.request_stop();
    });
    ProcessRunResult r = ProcessRunner::run(req);
    EXPECT_TRUE(r.cancelled);
    EXPECT_TRUE(r.signaled);
}

TEST(ProcessRunner, StandardInputIsEmptyAndEnvironmentIsExtended) {
    ProcessRequest req = shell("cat; printf \"$VIVIROV_RUNNER_TEST\"");
    req.environment = {{"VIVIROV_RUNNER_TEST", "set"}};
    ProcessRunResult r = ProcessRunner::run(req);
    ASSERT_TRUE(r.succeeded());
    EXPECT_EQ(r.stdoutData, "set");
}

TEST(ProcessRunner, AProgramThatCannotStartReportsWhy) {
    ProcessRequest req;
    req.program = "/nonexistent/program";
    ProcessRunResult r = ProcessRunner::run(req);
    EXPECT_FALSE(r.started);
    EXPECT_EQ(r.startError, "No such file or directory");
}

TEST(ProgramPaths, OverridesReplaceDefaultsAndAreRestored) {
    EXPECT_EQ(ProgramPaths::path("find"), "/usr/bin/find");
    EXPECT_EQ(ProgramPaths::path("no-such-tool"), "");
    {
        ProgramPaths::ScopedOverride outer("find", "/tmp/fake-find");
        {
            ProgramPaths::ScopedOverride inner("find", "/tmp/other-find");
            EXPECT_EQ(ProgramPaths::path("find"), "/tmp/other-find");
        }
        EXPECT_EQ(ProgramPaths::path("find"), "/tmp/fake-find");
    }
    EXPECT_EQ(ProgramPaths::path("find"), "/usr/bin/find");
}

} // namespace
} // namespace vivirov
