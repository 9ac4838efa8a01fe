#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>

#include "VivirovKit/Fleet/LocalServerPorts.h"
#include "VivirovKit/Fleet/PortListeners.h"
#include "VivirovKit/Fleet/VivirovModelSwapper.h"
#include "VivirovKit/Providers/RizeruLocalProvider.h"
#include "tests/Fleet/FakeServerProcess.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace vivirov {
namespace {

namespace fs = std::filesystem;
using test::FakeServerProcess;

constexpr uint64_t kSecond = 1'000'000'000;

// A temporary home folder with its models folder.
class HomeTest : public ::testing::Test {
protected:
    HomeTest() : env_("HOME", home_.path()) { fs::create_directories(models()); }

    std::string models() const { return home_.path() + "/models"; }
    // A sparse file: the size without the disk use.
    std::string modelFile(const std::string& relative, uintmax_t size) const {
        const fs::path path = models() + "/" + relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path).close();
        fs::resize_file(path, size);
        return path.string();
    }

    test::TempDir home_;
    test::ScopedEnv env_;
};

TEST_F(HomeTest, ListsModelFilesByGroupThenName) {
    const std::string rizeruQ1 = modelFile("Rizeru-27B-gguf/Rizeru-27B-Q1_0.gguf", 50'000'000);
    const std::string rizeruQ4 = modelFile("Rizeru-27B-Q4_K_M.gguf", 60'000'000);
    const std::string otherQ1 = modelFile("other-Q1_0.gguf", 60'000'000);
    const std::string both = modelFile("both-Q8_0-Q1_0.gguf", 60'000'000);
    const std::string f16 = modelFile("alpha-f16.gguf", 1610612736);
    const std::string upper = modelFile("sub/UPPER.GGUF", 60'000'000);
    const std::string tcm = modelFile("sub/second.tcm", 60'000'000);
    const std::string midMtp = modelFile("sub/qwen-mtp-iq2_xxs.gguf", 60'000'000);
    const std::string target = modelFile("target-Q8_0.gguf", 70'000'000);
    // Left out: too small, projectors, draft heads, other files.
    modelFile("tiny-Q8_0.gguf", 49'999'999);
    modelFile("sub/vision-MMProj-f16.gguf", 60'000'000);
    modelFile("mtp-draft.gguf", 60'000'000);
    modelFile("sub/mtp-draft.gguf", 60'000'000);
    modelFile("notes.txt", 60'000'000);
    // A link whose bare target is taken against the models folder, not its own.
    fs::create_symlink("target-Q8_0.gguf", models() + "/sub/link.gguf");
    fs::create_symlink("missing.gguf", models() + "/dangling.gguf");

    struct Row {
        std::string displayName, path, quantHint;
        int64_t size;
        bool isTCM;
    };
    const std::vector<Row> expected = {
        {"Rizeru-27B-Q1_0", rizeruQ1, "Q1_0", 50'000'000, false},
        {"Rizeru-27B-Q4_K_M", rizeruQ4, "Q4_K", 60'000'000, false},
        {"both-Q8_0-Q1_0", both, "Q1_0", 60'000'000, false},
        {"other-Q1_0", otherQ1, "Q1_0", 60'000'000, false},
        {"UPPER", upper, "gguf", 60'000'000, false},
        {"alpha-f16", f16, "gguf", 1610612736, false},
        {"link", target, "gguf", 70'000'000, false}, // the hint comes from the link's own name
        {"qwen-mtp-iq2_xxs", midMtp, "IQ2", 60'000'000, false},
        {"second", tcm, "gguf", 60'000'000, true},
        {"target-Q8_0", target, "Q8_0", 70'000'000, false},
    };
    const std::vector<VivirovModelInfo> models = VivirovModelSwapper::listModels();
    ASSERT_EQ(models.size(), expected.size());
    for (size_t i = 0; i < models.size(); ++i) {
        SCOPED_TRACE(expected[i].displayName);
        EXPECT_EQ(models[i], (VivirovModelInfo{expected[i].path, expected[i].displayName, expected[i].quantHint,
                                               expected[i].size, expected[i].isTCM}));
    }
    EXPECT_EQ(models[5].sizeGB(), "1.50 GB");
}

TEST_F(HomeTest, NoModelsFolderListsNothing) {
    fs::remove_all(models());
    EXPECT_TRUE(VivirovModelSwapper::listModels().empty());
}

// The stand-in installed where the swap looks for llama-server, on a port of
// the test's own that stands for 8080.
class SwapTest : public HomeTest {
protected:
    SwapTest() : port_(test::freeLoopbackPort()), redirect_(std::map<int, int>{{8080, port_}}) {
        fs::create_directories(serverFolder());
        fs::create_directories(models() + "/Rizeru-27B-gguf");
        fs::create_symlink(test::fakeModelServerPath(), VivirovModelSwapper::llamaServer());
        configure("200");
    }
    ~SwapTest() override {
        // The swap leaves its server running: end whatever now holds the port.
        for (int pid : PortListeners::pids(8080).value_or(std::vector<int>{})) ::killpg(pid, SIGKILL);
        test::waitUntil([] { return !test::acceptsConnections(LocalServerPorts::resolve(8080)); });
    }

    std::string serverFolder() const { return home_.path() + "/repos/llama.cpp/build/bin"; }
    std::string argvFile() const { return home_.path() + "/argv.txt"; }
    void configure(const std::string& health, const std::string& extra = "") {
        std::ofstream(VivirovModelSwapper::llamaServer() + ".conf")
            << "port=" << port_ << "\nhealth=" << health << "\nargv-file=" << argvFile() << "\n" << extra;
    }
    std::vector<std::string> recordedArgv() const {
        std::vector<std::string> lines;
        std::ifstream in(argvFile());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    int port_;
    LocalServerPorts::ScopedOverride redirect_;
};

TEST_F(SwapTest, RestartsThePortOnTheModelAndTheLocalClientStreamsFromIt) {
    const std::string model = modelFile("Rizeru-27B-gguf/rizeru.gguf", 1024);
    const std::string log = VivirovModelSwapper::serverLogPath();
    std::ofstream(log) << std::string(5000, 's') << " stale line of an earlier server\n";
    // The old server shrugs off SIGTERM; the swap kills it 0.3 s later.
    auto old = std::make_unique<FakeServerProcess>(port_, FakeServerProcess::Options{.ignoreTerm = true});

    const std::string answer = VivirovModelSwapper::swapModel("~/models/Rizeru-27B-gguf/rizeru.gguf", 65536);

    std::smatch match;
    ASSERT_TRUE(std::regex_match(answer, match, std::regex("ok: swapped to (.*) in \\d+\\.\\d\\ds \\(pid (\\d+)\\)")))
        << answer;
    EXPECT_EQ(match[1].str(), model);
    EXPECT_TRUE(old->waitForExit());
    const std::vector<std::string> expectedArgv = {
        VivirovModelSwapper::llamaServer(),
        "-m", model, "--host", "127.0.0.1", "--port", "8080", "-ngl", "99", "-c", "65536",
        "--cache-type-k", "q4_0", "--cache-type-v", "q4_0", "--flash-attn", "on", "--jinja",
        "--reasoning", "off", "--alias", "vivirov-swapped", "-np", "1", "--cont-batching",
        "--threads", "8", "-b", "512", "-ub", "64", "--cache-prompt", "--n-predict", "4096",
        "--spec-type", "none"};
    EXPECT_EQ(recordedArgv(), expectedArgv);
    EXPECT_EQ(expectedArgv.size(), 36u); // the program and its 35 arguments
    // The log holds this server's output only.
    EXPECT_EQ(test::TempDir::read(log), "stand-in listening on " + std::to_string(port_) + "\n");

    RizeruLocalProvider client("http://127.0.0.1:" + std::to_string(port_), "vivirov-swapped");
    std::string streamed;
    const ProviderResponse reply = client.stream({ProviderChatMessage::make(ProviderRole::user, "hi")}, {}, 0.2,
                                                 [&](const StreamDelta& delta) {
                                                     if (auto* text = std::get_if<StreamDelta::Text>(&delta.value))
                                                         streamed += text->text;
                                                 });
    EXPECT_EQ(reply.content, "hello from the stand-in");
    EXPECT_EQ(streamed, reply.content);
}

TEST_F(SwapTest, FailuresAnswerWithTheirErrorText) {
    const std::string model = modelFile("rizeru.gguf", 1024);
    struct Case {
        const char* name;
        std::string path;
        std::function<void()> arrange;
        std::string expected; // a prefix of the answer
    } cases[] = {
        {"missing model", "~/models/none.gguf", [] {}, "error: model not found: " + models() + "/none.gguf"},
        {"server exits before it answers", model, [&] { configure("never", "exit-after-ms=200\n"); },
         "error: llama-server exited early (see server_clean.log)"},
        {"no server program", model, [&] { fs::remove(VivirovModelSwapper::llamaServer()); },
         "error: failed to start llama-server: "},
        {"log folder missing", model, [&] { fs::remove_all(models() + "/Rizeru-27B-gguf"); },
         "error: cannot open server log " + VivirovModelSwapper::serverLogPath() + ": "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        const std::string answer = VivirovModelSwapper::swapModel(c.path, 4096);
        EXPECT_EQ(answer.substr(0, c.expected.size()), c.expected) << answer;
    }
}

TEST_F(SwapTest, AMissingModelStopsNothing) {
    FakeServerProcess running(port_, {});
    EXPECT_EQ(VivirovModelSwapper::swapModel("/nowhere/x.gguf", 4096), "error: model not found: /nowhere/x.gguf");
    EXPECT_TRUE(running.isRunning());
}

TEST_F(SwapTest, AnEditorsListenerIsSparedAndThePortStaysBusy) {
    const std::string model = modelFile("rizeru.gguf", 1024);
    FakeServerProcess editor(port_, {.extraArguments = {"Visual Studio"}});
    FakeClock clock;
    const uint64_t begin = clock.uptimeNanos();
    const std::string answer =
        test::runAdvancing(clock, kSecond / 20, [&] { return VivirovModelSwapper::swapModel(model, 4096); });
    EXPECT_EQ(answer, "error: port 8080 still busy after kill");
    EXPECT_GE(clock.uptimeNanos() - begin, 5 * kSecond);
    EXPECT_TRUE(editor.isRunning());
    EXPECT_FALSE(fs::exists(argvFile())); // no server was started
}

TEST_F(SwapTest, GivesUpWaitingForHealthAfterNinetySecondsAndLeavesTheServerRunning) {
    const std::string model = modelFile("rizeru.gguf", 1024);
    configure("503");
    FakeClock clock;
    const std::string answer =
        test::runAdvancing(clock, kSecond / 10, [&] { return VivirovModelSwapper::swapModel(model, 4096); });
    std::smatch match;
    ASSERT_TRUE(std::regex_match(answer, match, std::regex("error: health timeout after (\\d+\\.\\d)s"))) << answer;
    EXPECT_GE(std::stod(match[1].str()), 90.0);
    // The fake clock can run out the wait before a slow machine's server has
    // even bound its port: what matters is that it was left running.
    EXPECT_TRUE(test::waitUntil([&] { return test::acceptsConnections(port_); }, std::chrono::seconds(30)));
}

} // namespace
} // namespace vivirov
