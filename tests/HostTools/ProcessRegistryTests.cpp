#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "VivirovKit/Support/ProcessRunner.h"
#include "VivirovVizivurad/HostTools/ProcessRegistry.h"
#include "tests/HostTools/TestHome.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string readPid(const std::string& file) {
    std::string pid;
    test::waitUntil([&] {
        pid = test::TempDir::read(file);
        return !pid.empty() && pid.back() == '\n';
    });
    return pid.empty() ? pid : pid.substr(0, pid.size() - 1);
}

// Dead, or a zombie that nobody has reaped yet (a container's first process may never reap).
bool processGone(const std::string& pid) {
    return test::waitUntil([&] {
        if (::kill(std::stoi(pid), 0) != 0) return true;
        std::string stat = test::TempDir::read("/proc/" + pid + "/stat");
        auto paren = stat.rfind(')');
        return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
    });
}

} // namespace

TEST(ProcessRegistry, ReportsExitStatusAndKeepsTheStreamsApart) {
    ProcessRegistry registry;
    struct Case {
        const char* command;
        int32_t exit;
        const char* out;
        const char* err;
    };
    for (const Case& c : {Case{"exit 3", 3, "", ""},
                          Case{"echo first; echo second >&2", 0, "first\n", "second\n"},
                          Case{"printf 'a\\377b'", 0, "a\xEF\xBF\xBD" "b", ""},
                          Case{"cat; echo read-nothing", 0, "read-nothing\n", ""}}) { // stdin is /dev/null
        auto r = registry.runBash(c.command, 0);
        EXPECT_EQ(r.exit, c.exit) << c.command;
        EXPECT_FALSE(r.signaled) << c.command;
        EXPECT_EQ(r.out, c.out) << c.command;
        EXPECT_EQ(r.err, c.err) << c.command;
    }
}

TEST(ProcessRegistry, TimeoutKillsTheWholeGroupAndZeroOrNegativeNeverKills) {
    test::TempDir dir;
    ProcessRegistry registry;
    const std::string pidFile = dir.file("grandchild");
    std::thread zero, negative;
    ProcessRegistry::Result zeroResult, negativeResult;
    zero = std::thread([&] { zeroResult = registry.runBash("sleep 1.5; echo survived", 0); });
    negative = std::thread([&] { negativeResult = registry.runBash("sleep 1.5; echo survived", -5); });

    auto killed = registry.runBash("sleep 30 & echo $! > " + pidFile + "; sleep 30", 1);
    EXPECT_EQ(killed.exit, 137);
    EXPECT_TRUE(killed.signaled);
    EXPECT_TRUE(processGone(readPid(pidFile))) << "the grandchild outlived its group";

    zero.join();
    negative.join();
    for (auto* r : {&zeroResult, &negativeResult}) {
        EXPECT_EQ(r->exit, 0);
        EXPECT_EQ(r->out, "survived\n");
    }
}

TEST(ProcessRegistry, BackgroundHolderOfThePipesDelaysOnlyByTheGrace) {
    test::TempDir dir;
    ProcessRegistry registry;
    const std::string pidFile = dir.file("holder");
    auto start = Clock::now();
    auto r = registry.runBash("sleep 30 & echo $! > " + pidFile + "; echo shell-done", 0);
    auto elapsed = Clock::now() - start;
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(r.out, "shell-done\n");
    EXPECT_GE(elapsed, 1500ms);  // the grace was waited
    EXPECT_LT(elapsed, 25s);     // but not the holder's 30 s
    // The background process is left running, as the shell left it.
    const std::string pid = readPid(pidFile);
    EXPECT_EQ(::kill(std::stoi(pid), 0), 0);
    ::kill(std::stoi(pid), SIGKILL);
}

TEST(ProcessRegistry, TerminateAllEndsEveryGroupAndKillsWhatStartsDuringTheGrace) {
    test::TempDir dir;
    ProcessRegistry registry;
    ProcessRegistry::Result polite, stubborn;
    std::thread a([&] { polite = registry.runBash("touch " + dir.file("a") + "; sleep 30", 0); });
    std::thread b([&] { stubborn = registry.runBash("trap '' TERM; touch " + dir.file("b") + "; sleep 30", 0); });
    ASSERT_TRUE(test::waitUntil([&] { return ::access(dir.file("a").c_str(), F_OK) == 0 &&
                                             ::access(dir.file("b").c_str(), F_OK) == 0; }));
    registry.terminateAll(250);
    a.join();
    b.join();
    EXPECT_EQ(polite.exit, 143);
    EXPECT_TRUE(polite.signaled);
    EXPECT_EQ(stubborn.exit, 137);
    EXPECT_TRUE(stubborn.signaled);

    // A long grace, so the next command surely starts inside it.
    registry.terminateAll(3000);
    auto during = registry.runBash("sleep 30", 0);
    EXPECT_EQ(during.exit, 137);
    EXPECT_TRUE(during.signaled);
    // After the sweep the registry runs commands normally again.
    ProcessRegistry::Result after;
    EXPECT_TRUE(test::waitUntil([&] {
        after = registry.runBash("echo ok", 0);
        return !after.signaled;
    }, 20s));
    EXPECT_EQ(after.exit, 0);
    EXPECT_EQ(after.out, "ok\n");
}

TEST(ProcessRegistry, StopRequestKillsTheGroup) {
    ProcessRegistry registry;
    std::stop_source stop;
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        stop.request_stop();
    });
    auto r = registry.runBash("sleep 30", 0, stop.get_token());
    canceller.join();
    EXPECT_EQ(r.exit, 137);
    EXPECT_TRUE(r.signaled);
}

TEST(ProcessRegistry, EndlessOutputKeepsABoundedHeadAndTail) {
    ProcessRegistry registry;
    auto r = registry.runBash("head -c 5000000 /dev/zero | tr '\\0' a; echo; echo last-line", 0);
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(r.out.size(), ProcessRegistry::keptHeadBytes + ProcessRegistry::keptTailBytes);
    EXPECT_EQ(r.outDropped, 5000000 + 1 + 10 - r.out.size());
    EXPECT_EQ(r.out.substr(r.out.size() - 11), "\nlast-line\n");
}

TEST(ProcessRegistry, ChildrenInheritNoDescriptorOfTheApp) {
    test::TempDir dir;
    int fd = ::open(dir.write("open", "x").c_str(), O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(fd, 3);
    ProcessRegistry registry;
    auto r = registry.runBash("test -e /proc/$$/fd/" + std::to_string(fd) + " && echo leaked || echo closed", 0);
    ::close(fd);
    EXPECT_EQ(r.out, "closed\n");
}

TEST(ProcessRegistry, ShellThatCannotStartGivesTheFailureResult) {
    ProgramPaths::ScopedOverride missing("zsh", "/nonexistent/zsh");
    ProcessRegistry registry;
    auto r = registry.runBash("true", 0);
    EXPECT_EQ(r.exit, -1);
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: posix_spawn failed (rc 2: No such file or directory)");
}

// Many commands at once while the kill switch fires: every run ends, killed
// or finished, and nothing races (run under the thread sanitizer too).
TEST(ProcessRegistry, FiftyParallelRunsWithTerminateAll) {
    ProcessRegistry registry;
    std::vector<ProcessRegistry::Result> results(50);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = registry.runBash("sleep 3", 0); });
    std::this_thread::sleep_for(300ms);
    registry.terminateAll(250);
    registry.terminateAll(250); // a second call during the grace schedules nothing more
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_TRUE(r.signaled ? (r.exit == 143 || r.exit == 137) : r.exit == 0) << r.exit;
}
