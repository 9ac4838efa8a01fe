#include <gtest/gtest.h>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "tests/HostTools/RecordingBackends.h"
#include "tests/HostTools/TestHome.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using namespace std::chrono_literals;

namespace {

std::string callText(const std::string& tool, const std::map<std::string, std::string>& args) {
    return nlohmann::json{{"tool", tool}, {"args", args}}.dump();
}

std::string bash(ToolExecutionManager& m, const std::string& command, std::stop_token stop = {}) {
    return m.handle(callText("execute_bash", {{"command", command}}), std::move(stop));
}

std::string readFile(ToolExecutionManager& m, const std::string& path) {
    return m.handle(callText("read_file", {{"path", path}}));
}

std::string writeFile(ToolExecutionManager& m, const std::string& path, const std::string& content) {
    return m.handle(callText("write_file", {{"path", path}, {"content", content}}));
}

} // namespace

TEST(ShellTool, ResultTexts) {
    ToolExecutionManager m;
    struct Case {
        std::string command;
        std::string result;
    };
    for (const Case& c : std::vector<Case>{
             {"echo hello", "exit_code: 0\nstdout:\nhello\n"},
             {"exit 3", "exit_code: 3"},
             {"echo oops >&2; exit 1", "exit_code: 1\nstderr:\noops\n"},
             {"printf out; printf err >&2", "exit_code: 0\nstdout:\nout\nstderr:\nerr"},
             {"   ", "exit_code: 0"},
             {"", "error: empty command"},
             {"printf '%5000s' | tr ' ' x",
              "exit_code: 0\nstdout:\n" + std::string(4000, 'x') + "\n…[truncated 1000 chars]"},
         })
        EXPECT_EQ(bash(m, c.command), c.result) << c.command;
}

TEST(ShellTool, RefusedCommandNeverRuns) {
    test::TempDir dir;
    ToolExecutionManager m;
    test::StderrCapture capture;
    const std::string marker = dir.file("ran");
    EXPECT_EQ(bash(m, "touch " + marker + "; rm -rf ~"),
              "error: command refused by safety filter: recursive delete of root or home directory (rm -rf / or ~)");
    EXPECT_NE(capture.text().find("[tool] execute_bash BLOCKED: recursive delete of root or home directory "
                                  "(rm -rf / or ~)\n"),
              std::string::npos);
    EXPECT_NE(::access(marker.c_str(), F_OK), 0);
}

TEST(ShellTool, KillSwitchAndStopRequestEndTheCommand) {
    test::TempDir dir;
    ToolExecutionManager m;
    std::string result;
    std::thread t([&] { result = bash(m, "touch " + dir.file("started") + "; sleep 30"); });
    ASSERT_TRUE(test::waitUntil([&] { return ::access(dir.file("started").c_str(), F_OK) == 0; }));
    m.registry().terminateAll(250);
    t.join();
    EXPECT_EQ(result, "exit_code: 143 (terminated by signal)");

    // A stopped turn ends its shell command: the whole group is killed.
    ASSERT_TRUE(test::waitUntil([&] { return bash(m, "true") == "exit_code: 0"; }, 20s)); // sweep done
    std::stop_source stop;
    std::thread canceller([&] {
        test::waitUntil([&] { return ::access(dir.file("second").c_str(), F_OK) == 0; });
        stop.request_stop();
    });
    EXPECT_EQ(bash(m, "echo partial; touch " + dir.file("second") + "; sleep 30", stop.get_token()),
              "exit_code: 137 (terminated by signal)\nstdout:\npartial\n");
    canceller.join();
}

TEST(ReadFileTool, ReadsTextAndRefusesEverythingElse) {
    test::TempDir dir;
    ToolExecutionManager m;
    const std::string home = test::testHome();
    std::string homeFile = home + "/a.txt";
    ::unlink(homeFile.c_str());
    EXPECT_EQ(readFile(m, "~/a.txt"), "error: could not read file at ~/a.txt");
    ASSERT_EQ(system(("printf 'home text\\n' > " + homeFile).c_str()), 0);
    EXPECT_EQ(readFile(m, "~/a.txt"), "home text\n");
    EXPECT_EQ(readFile(m, "~root/../" + homeFile.substr(1)), "home text\n"); // "~user" form
    ::unlink(homeFile.c_str());

    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string result;
    };
    for (const Case& c : std::vector<Case>{
             {dir.write("bad.txt", "ok \xC3\x28 no"), "error: could not read file at " + dir.file("bad.txt")},
             {dir.path(), "error: could not read file at " + dir.path()},
             {dir.file("missing"), "error: could not read file at " + dir.file("missing")},
             {fifo, "error: could not read file at " + fifo}, // no writer: must not block
             {"/dev/zero", "error: could not read file at /dev/zero"},
             {dir.write("long.txt", std::string(4100, 'L')), std::string(4000, 'L') + "\n…[truncated 100 chars]"},
         })
        EXPECT_EQ(readFile(m, c.path), c.result) << c.path;
}

TEST(ReadFileTool, HugeFileIsReadOnlyAsFarAsTheBound) {
    test::TempDir dir;
    const std::string path = dir.file("huge.txt");
    const size_t size = ToolExecutionManager::maxReadBytes + 12345;
    {
        FILE* f = std::fopen(path.c_str(), "w");
        std::string block(1 << 20, 'h');
        for (size_t left = size; left > 0;) {
            size_t n = std::min(left, block.size());
            std::fwrite(block.data(), 1, n, f);
            left -= n;
        }
        std::fclose(f);
    }
    ToolExecutionManager m;
    EXPECT_EQ(readFile(m, path), std::string(4000, 'h') + "\n…[truncated " + std::to_string(size - 4000) + " chars]");
}

TEST(WriteFileTool, WritesAtomicallyAndReportsBytes) {
    test::TempDir dir;
    ToolExecutionManager m;
    EXPECT_EQ(writeFile(m, dir.file("empty.txt"), ""), "ok: wrote 0 bytes to " + dir.file("empty.txt"));
    EXPECT_EQ(test::TempDir::read(dir.file("empty.txt")), "");
    EXPECT_EQ(writeFile(m, "~/é.txt", "é"), "ok: wrote 2 bytes to ~/é.txt");
    EXPECT_EQ(test::TempDir::read(test::testHome() + "/é.txt"), "é");

    // Replacing keeps the file's permissions and leaves no temporary file behind.
    const std::string script = dir.write("run.sh", "old");
    ::chmod(script.c_str(), 0750);
    EXPECT_EQ(writeFile(m, script, "new!"), "ok: wrote 4 bytes to " + script);
    EXPECT_EQ(test::TempDir::read(script), "new!");
    struct stat st {};
    ::stat(script.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0750u);

    const std::string nested = dir.file("no/such/folder/a.txt");
    std::string failed = writeFile(m, nested, "x");
    EXPECT_EQ(failed.rfind("error: ", 0), 0u) << failed;
    EXPECT_NE(::access(dir.file("no").c_str(), F_OK), 0); // folders are not created
    EXPECT_EQ(writeFile(m, dir.path(), "x").rfind("error: ", 0), 0u); // a folder is not replaced
    EXPECT_EQ(system(("test $(ls -A " + dir.path() + " | wc -l) -eq 2").c_str()), 0) << "stray temporary file";
}

TEST(WriteFileTool, WebPagesOfferTheInAppBrowser) {
    test::TempDir dir;
    auto browser = std::make_shared<test::RecordingBrowser>();
    ToolExecutionManager m{HostToolBackends{nullptr, nullptr, nullptr, browser, nullptr}};
    const std::string page = dir.file("Page.HTML");
    const std::string reloaded = " — live-reloaded the in-app browser (it was showing this page).";
    const std::string offer = " — to view it, call browser_navigate with this path.";

    browser->shownFile = page;
    EXPECT_EQ(writeFile(m, page, "<p>"), "ok: wrote 3 bytes to " + page + reloaded);
    browser->shownFile = dir.file("other.html");
    EXPECT_EQ(writeFile(m, page, "<p>"), "ok: wrote 3 bytes to " + page + offer);
    browser->hasModel = false;
    EXPECT_EQ(writeFile(m, dir.file("x.htm"), "<p>"), "ok: wrote 3 bytes to " + dir.file("x.htm") + offer);
    browser->shownFile = dir.file("notes.txt");
    browser->hasModel = true;
    EXPECT_EQ(writeFile(m, dir.file("notes.txt"), "<p>"), "ok: wrote 3 bytes to " + dir.file("notes.txt"));
    EXPECT_EQ(browser->lines().size(), 3u); // asked only for web pages

    ToolExecutionManager noBrowser;
    EXPECT_EQ(writeFile(noBrowser, page, "<p>"), "ok: wrote 3 bytes to " + page + offer);
}
