#include <gtest/gtest.h>

#include <csignal>

#include "VivirovKit/Support/ProcessRunner.h"
#include "tests/support/WaitUntil.h"

namespace vivirov {
namespace {

using namespace std::chrono_literals;

ProcessRequest shell(const std::string& script) {
    ProcessRequest request;
    request.program = "/bin/sh";
    request.arguments = {"-c", script};
    return request;
}

TEST(ProcessRunner, TerminateGraceLetsTheProgramCleanUpBeforeTheKill) {
    // The trap runs only when SIGTERM comes first.
    const std::string script = "trap 'echo cleaned; exit 5' TERM; echo started; sleep 30 & wait";
    struct Case {
        const char* name;
        std::chrono::milliseconds grace;
        std::string stdout;
    } cases[] = {
        {"no grace kills at once", 0ms, "started\n"},
        {"a grace sends SIGTERM first", 5000ms, "started\ncleaned\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessRequest request = shell(script);
        request.timeLimit = 300ms;
        request.terminateGrace = c.grace;
        const ProcessRunResult result = ProcessRunner::run(request);
        EXPECT_TRUE(result.timedOut);
        EXPECT_EQ(result.stdoutData, c.stdout);
    }
}

TEST(ProcessRunner, AGraceEndsInAKillWhenTheProgramIgnoresSIGTERM) {
    ProcessRequest request = shell("trap '' TERM; echo started; while :; do sleep 1; done");
    request.timeLimit = 200ms;
    request.terminateGrace = 300ms;
    const ProcessRunResult result = ProcessRunner::run(request);
    EXPECT_TRUE(result.timedOut);
    EXPECT_TRUE(result.signaled);
    EXPECT_EQ(result.exitStatus, SIGKILL);
}

TEST(ProcessRunner, StartedProgramsOutliveTheCallAndAreReapedWhenTheyEnd) {
    const ProcessStart exits = ProcessRunner::start(shell("exit 7"));
    ASSERT_TRUE(exits.started);
    ASSERT_TRUE(test::waitUntil([&] { return !exits.process->isRunning(); }));
    EXPECT_EQ(exits.process->exitStatus(), 7);
    EXPECT_FALSE(exits.process->signaled());

    const ProcessStart runs = ProcessRunner::start(shell("sleep 30"));
    ASSERT_TRUE(runs.started);
    EXPECT_TRUE(runs.process->isRunning());
    EXPECT_EQ(runs.process->exitStatus(), std::nullopt);
    // Its own process group, so the whole of it can be signalled.
    EXPECT_EQ(::getpgid(runs.process->pid()), runs.process->pid());
    ::killpg(runs.process->pid(), SIGTERM);
    ASSERT_TRUE(test::waitUntil([&] { return !runs.process->isRunning(); }));
    EXPECT_TRUE(runs.process->signaled());
    EXPECT_EQ(runs.process->exitStatus(), SIGTERM);

    ProcessRequest missingProgram;
    missingProgram.program = "/nonexistent/program";
    const ProcessStart missing = ProcessRunner::start(missingProgram);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.startError, "No such file or directory");
}

} // namespace
} // namespace vivirov
