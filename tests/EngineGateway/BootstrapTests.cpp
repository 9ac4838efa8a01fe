// Starting the engine host: which engine runs after each kind of bootstrap,
// what it publishes and logs, one load at a time, and the counters' poller.
#include <QTimer>

#include <clocale>
#include <future>
#include <thread>

#include "VivirovKit/Support/WorkerPool.h"
#include "tests/EngineGateway/HostFixture.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/ChildTest.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {
namespace {

using Kind = VizivuradEngine::ResolvedModel::Kind;
using Path = VizivuradEngine::EnginePath;

const std::string kLoading = "Loading local model\xE2\x80\xA6 (this can take a minute)";

std::string writeQwen(const TempDir& dir) {
    QwenModel qwen(QwenShape{});
    return qwen.writer().write(dir.file("qwen2-test.gguf"));
}

class Bootstrap : public HostFixture {};

TEST_F(Bootstrap, EndStatesPublishTheirTextsAndLogLines) {
    struct Case {
        const char* name;
        const char* gate;             // a headless switch set to "1", or none
        std::optional<Kind> resolved; // the resolution's kind, none: the real resolution
        bool modelFileExists;
        bool scaffoldFails;
        Path enginePath;
        std::string modelPath; // "<qwen>" for the written file
        std::string resolution;
        std::vector<std::string> lines;
        bool poller;
    };
    const std::string scaffoldLine = "[vizivurad-engine] scaffold \xE2\x86\x92 vivirov_vm_v2_create(\"scaffold://no-model\")";
    const std::vector<Case> cases = {
        {"headless gate", "VIVIROV_GATE6", std::nullopt, true, false, Path::scaffold, "scaffold://no-model",
         "(not bootstrapped)",
         {"[vizivurad-engine] headless gate env \xE2\x86\x92 scaffold://no-model (skip ZOV4 hardcode)", scaffoldLine},
         false},
        {"live qwen2", nullptr, std::nullopt, true, false, Path::qwen2GGUF, "<qwen>",
         "qwen2 GGUF at <qwen> (LIVE \xE2\x86\x92 vivirov_vm_v2_create)",
         {"[vizivurad-engine] model resolution: qwen2 GGUF at <qwen> (LIVE \xE2\x86\x92 vivirov_vm_v2_create)",
          "[vizivurad-engine] LIVE qwen2 \xE2\x86\x92 vivirov_vm_v2_create(\"<qwen>\")"},
         true},
        {"failed create", nullptr, Kind::qwen2GGUF, false, false, Path::scaffold, "scaffold://no-model",
         "test resolution of <qwen>",
         {"[vizivurad-engine] qwen2 GGUF at \"<qwen>\" but create() failed \xE2\x86\x92 scaffold fallback",
          scaffoldLine},
         false},
        {"failed scaffold", "VIVIROV_FORCE_SCAFFOLD", std::nullopt, true, true, Path::none, "(none)",
         "(not bootstrapped)", {"[vizivurad-engine] scaffold create() FAILED \xE2\x80\x94 engine offline"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string qwen = c.modelFileExists ? writeQwen(dir) : dir.file("qwen2-test.gguf");
        auto fill = [&](std::string s) {
            for (size_t at; (at = s.find("<qwen>")) != std::string::npos;) s.replace(at, 6, qwen);
            return s;
        };
        ScopedEnv gate;
        if (c.gate) gate.set(c.gate, "1");
        resolve = c.resolved ? Resolve([&](const auto&) { return resolvedAs(*c.resolved, qwen); }) : Resolve();
        makeGateway = [&](const std::string& path) {
            return c.scaffoldFails && path == VMEngineGateway::kScaffoldPath
                       ? VMEngineGateway::create(dir.file("unbuildable"))
                       : VMEngineGateway::create(path);
        };
        makeHost();
        std::vector<QString> statuses;
        QObject::connect(host.get(), &VizivuradEngine::loadingStatusChanged,
                         [&] { statuses.push_back(host->loadingStatus()); });
        StderrCapture err;
        bootstrapAndSettle(qwen);

        const auto& t = host->telemetry();
        EXPECT_EQ(host->activeEnginePath(), c.enginePath);
        EXPECT_EQ(host->isReady(), c.enginePath != Path::none);
        EXPECT_EQ(t.activeModelPath.toStdString(), fill(c.modelPath));
        EXPECT_EQ(t.lastModelResolution.toStdString().rfind(fill(c.resolution), 0), 0u)
            << t.lastModelResolution.toStdString();
        size_t from = 0;
        for (const auto& line : c.lines) {
            const size_t at = err.text().find(fill(line) + "\n", from);
            EXPECT_NE(at, std::string::npos) << fill(line);
            if (at != std::string::npos) from = at;
        }
        EXPECT_EQ(host->isMatrixTelemetryRunning(), c.poller);
        EXPECT_EQ(yield->isInstalled(), c.enginePath != Path::none);
        EXPECT_EQ(t.lastBatchStatus.toStdString(), "(not measured)"); // no bench but for DeepSeek-V4
        const std::vector<QString> shown = {QString::fromStdString(kLoading), QString()};
        EXPECT_EQ(statuses, c.gate == nullptr ? shown : std::vector<QString>());

        // A second bootstrap after a live or scaffold start changes nothing.
        if (c.enginePath != Path::none) {
            StderrCapture again;
            const int made = gatewaysMade.load();
            bootstrapAndSettle();
            EXPECT_EQ(again.text(), "");
            EXPECT_EQ(gatewaysMade.load(), made);
        }
        TearDown();
    }
}

TEST_F(Bootstrap, AnOfflineHostStartsOverOnTheNextBootstrap) {
    ScopedEnv gate("VIVIROV_FORCE_SCAFFOLD", "1");
    TempDir dir;
    int scaffoldTries = 0;
    makeGateway = [&](const std::string& path) {
        return ++scaffoldTries == 1 ? VMEngineGateway::create(dir.file("unbuildable")) : VMEngineGateway::create(path);
    };
    makeHost();
    bootstrapAndSettle();
    EXPECT_EQ(host->activeEnginePath(), Path::none);
    EXPECT_FALSE(host->isReady());
    bootstrapAndSettle();
    EXPECT_EQ(host->activeEnginePath(), Path::scaffold);
    EXPECT_TRUE(host->isReady());
}

// A second caller during a model load waits for that load: one engine only.
TEST_F(Bootstrap, CallersDuringALoadJoinIt) {
    TempDir dir;
    const std::string qwen = writeQwen(dir);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    makeGateway = [&](const std::string& path) {
        released.wait();
        return VMEngineGateway::create(path);
    };
    makeHost();
    std::vector<int> order;
    host->bootstrap(qwen, [&] { order.push_back(1); });
    host->bootstrap(qwen, [&] { order.push_back(2); });
    std::thread worker([&] {
        host->bootstrapAndWait(qwen);
        order.push_back(3);
    });
    // The GUI thread runs on while the model loads.
    EXPECT_TRUE(qtWaitUntil([&] { return host->isLoading(); }));
    EXPECT_FALSE(host->isReady());
    release.set_value();
    ASSERT_TRUE(qtWaitUntil([&] { return order.size() == 3; }, 60000));
    worker.join();
    EXPECT_EQ(gatewaysMade.load(), 1);
    EXPECT_EQ(host->activeEnginePath(), Path::qwen2GGUF);
}

TEST_F(Bootstrap, BenchBeforeAnyEngineReportsNotReady) {
    makeHost();
    std::optional<std::optional<double>> result;
    host->measureBatchTPS(16, 4, [&](std::optional<double> tps) { result = tps; });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, std::nullopt);
    EXPECT_EQ(host->telemetry().lastBatchStatus.toStdString(), "engine not ready");
}

TEST_F(Bootstrap, BenchOfAnEngineThatIsNotDeepSeekV4KeepsTheFigures) {
    ScopedEnv gate("VIVIROV_GATE6", "1");
    makeHost();
    bootstrapAndSettle();
    std::optional<std::optional<double>> result;
    host->measureBatchTPS(16, 4, [&](std::optional<double> tps) { result = tps; });
    ASSERT_TRUE(qtWaitUntil([&] { return result.has_value(); }));
    EXPECT_EQ(*result, std::nullopt);
    EXPECT_EQ(host->telemetry().lastBatchStatus.toStdString(), "bench failed (not ZOV4 or error)");
    EXPECT_EQ(host->telemetry().lastBatchTPS, 0.0);
}

TEST(BatchTPSText, ReadsTheSameInEveryLocale) {
    const char* locales[] = {"C", "de_DE.UTF-8", "fr_FR.UTF-8"};
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : locales) {
        std::setlocale(LC_ALL, locale); // missing locales leave the current one
        EXPECT_EQ(VizivuradEngine::batchTPSText(256.0, 64, 0.25, 16),
                  "256.00 TPS \xC2\xB7 64 tok \xC2\xB7 0.25s (B=16)");
    }
    std::setlocale(LC_ALL, saved.c_str());
}

TEST_F(Bootstrap, TelemetryPollerFollowsTheTurnAndStopsAtQuit) {
    makeHost();
    host->startMatrixTelemetry();
    host->startMatrixTelemetry(); // still one poller
    EXPECT_EQ(host->matrixTelemetryPolls(), 1);
    auto pollsAfter = [&](uint64_t nanos) {
        advanceAndSettle(nanos);
        return host->matrixTelemetryPolls();
    };
    EXPECT_EQ(pollsAfter(3'900'000'000), 1);
    EXPECT_EQ(pollsAfter(100'000'000), 2); // every 4 s while idle
    startTurn();
    EXPECT_EQ(pollsAfter(4'000'000'000), 3); // the interval chosen at the last poll
    EXPECT_EQ(pollsAfter(500'000'000), 4);  // every 0.5 s during a turn
    EXPECT_EQ(pollsAfter(500'000'000), 5);
    endTurn();

    host->stopMatrixTelemetry();
    EXPECT_EQ(pollsAfter(4'000'000'000), 5);
    host->startMatrixTelemetry(); // a new poller; the quit hook was registered once
    EXPECT_TRUE(host->isMatrixTelemetryRunning());
    teardown.shutdownAll();
    EXPECT_FALSE(host->isMatrixTelemetryRunning());
}

// Quitting while the engine runs a job ends the process normally.
TEST_F(Bootstrap, QuitWithTheEngineAliveExitsCleanly) {
    if (const char* child = std::getenv("VIVIROV_CHILD_TEST")) {
        if (std::string(child) != "Bootstrap.QuitWithTheEngineAliveExitsCleanly") GTEST_SKIP();
        // The app's own objects, as at quit: nothing destroys the engine.
        VizivuradEngine& app = VizivuradEngine::shared();
        bool done = false;
        app.bootstrap(std::nullopt, [&] { done = true; });
        ASSERT_TRUE(qtWaitUntil([&] { return done; }));
        ASSERT_TRUE(app.isReady());
        app.submitBackground({1, 2, 3}, [](uint32_t) {}, [] {});
        QTimer::singleShot(10, [] { QCoreApplication::quit(); });
        QCoreApplication::exec();
        EngineTeardownRegistry::shared().shutdownAll();
        std::fflush(stdout);
        std::exit(0); // static destruction with the engine's threads still running
    }
    const ProcessRunResult r = runChildTest("Bootstrap.QuitWithTheEngineAliveExitsCleanly",
                                            {{"VIVIROV_FORCE_SCAFFOLD", "1"}, {"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(r.exitStatus, 0) << r.stderrData;
    EXPECT_FALSE(r.signaled);
}

} // namespace
} // namespace vivirov::test
