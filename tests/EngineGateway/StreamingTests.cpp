// In-process chat on a live DeepSeek-V4 engine (the tiny test model): text
// reaches the GUI thread at most once a frame of a fake clock and whole, a
// stalled GUI thread loses pieces only from the stream, and the host's jobs
// reach the scheduler with their lane, deadline and throttle.
#include <QTimer>

#include <filesystem>
#include <regex>
#include <thread>

#include "VivirovVizivurad/EngineHost/DerevududuvProvider.h"
#include "tests/EngineGateway/HostFixture.h"
#include "tests/EngineV2/EngineV2Harness.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/DeepSeekV4Fixture.h"
#include "tests/support/DeepSeekV4Packs.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {
namespace {

using Kind = VizivuradEngine::ResolvedModel::Kind;
using Path = VizivuradEngine::EnginePath;

// One tiny DeepSeek-V4 model for the binary.
const DeepSeekV4Model& deepSeekModel() {
    static TempDir* dir = new TempDir();
    static DeepSeekV4Model* model = [] {
        auto* m = new DeepSeekV4Model(writeDeepSeekV4Model(dir->path(), "zov4-test"));
        std::filesystem::create_directories(dir->path() + "/om2");
        writeDeepSeekV4Packs(*m, dir->path() + "/om2");
        return m;
    }();
    return *model;
}

std::string om2Dir() { return std::filesystem::path(deepSeekModel().path()).parent_path().string() + "/om2"; }

class LiveDeepSeek : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        // A small wired expert ring: as root the default would really be locked.
        env.set("VEZEV_OM2_DIR", om2Dir()).set("VIVIROV_UVM_RING_MB", "4");
    }
    void bootDeepSeek(bool bench = false, int ringCapacity = 8192) {
        if (!bench) env.set("VIVIROV_SKIP_TPS", "1");
        resolve = [](const auto&) { return resolvedAs(Kind::deepseek4GGUF, deepSeekModel().path()); };
        makeHost(ringCapacity);
        bootstrapAndSettle();
        ASSERT_EQ(host->activeEnginePath(), Path::deepseek4GGUF);
    }

    struct Streamed {
        std::string returned;
        std::vector<std::string> pieces;
        std::vector<uint64_t> at; // fake time of each onPiece call
    };
    // Streams on a worker while the test thread turns the GUI loop and moves
    // the fake clock a quarter frame at a time.
    Streamed stream(const std::string& prompt, std::stop_token cancel = {}) {
        Streamed s;
        std::atomic<bool> finished{false};
        std::thread worker([&] {
            s.returned = host->streamChatText(
                prompt,
                [&](const std::string& piece) {
                    s.pieces.push_back(piece);
                    s.at.push_back(clock.uptimeNanos());
                },
                cancel);
            finished = true;
        });
        runUntil(finished);
        worker.join();
        return s;
    }
    void runUntil(const std::atomic<bool>& finished) {
        while (!finished) {
            clock.advance(VizivuradEngine::uiFrameNanos / 4);
            qtWaitUntil([] { return false; }, 1);
        }
    }
};

std::string joined(const std::vector<std::string>& pieces) {
    std::string out;
    for (const auto& p : pieces) out += p;
    return out;
}

TEST_F(LiveDeepSeek, ChatTextReachesTheGuiAtMostOnceAFrameAndWhole) {
    bootDeepSeek();
    std::vector<GenerationPhase> phases;
    QObject::connect(host.get(), &VizivuradEngine::telemetryChanged, [&] {
        const GenerationPhase p = host->telemetry().generationPhase;
        if (phases.empty() || phases.back() != p) phases.push_back(p);
    });
    StderrCapture err;
    const Streamed s = stream("hello there");
    ASSERT_FALSE(s.returned.empty());
    EXPECT_EQ(joined(s.pieces), s.returned);
    for (size_t k = 1; k < s.at.size(); ++k) EXPECT_GE(s.at[k] - s.at[k - 1], VizivuradEngine::uiFrameNanos);
    EXPECT_EQ(phases, (std::vector<GenerationPhase>{GenerationPhase::thinking, GenerationPhase::generating,
                                                    GenerationPhase::idle}));
    EXPECT_NE(err.text().find("[vm-gateway] generateText: rc="), std::string::npos);
    EXPECT_EQ(err.text().find("PHASE7"), std::string::npos);
}

TEST_F(LiveDeepSeek, StalledGuiDropsStreamPiecesButNotTheReturnedText) {
    bootDeepSeek(false, 2);
    StderrCapture err;
    std::atomic<bool> finished{false};
    Streamed s;
    std::thread worker([&] {
        s.returned = host->streamChatText("hello there", [&](const std::string& p) { s.pieces.push_back(p); });
        finished = true;
    });
    qtWaitUntil([&] { return host->telemetry().generationPhase == GenerationPhase::generating; });
    // The GUI thread stalls while the clock races ahead: nearly every piece
    // is its own throttle emission, and nobody drains.
    std::thread racer([&] {
        for (int i = 0;; ++i) {
            if (i % 32 == 0 && err.text().find("[vm-gateway] generateText: rc=") != std::string::npos) return;
            clock.advance(VizivuradEngine::uiFrameNanos);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    racer.join();
    runUntil(finished);
    worker.join();
    std::smatch m;
    const std::string log = err.text();
    ASSERT_TRUE(std::regex_search(log, m, std::regex("PHASE7 ring dropped=(\\d+) \\(raise capacity if chronic\\)\n")))
        << s.returned;
    EXPECT_GE(std::stoi(m[1]), 1);
    const std::string delivered = joined(s.pieces);
    EXPECT_LT(delivered.size(), s.returned.size());
    for (const auto& piece : s.pieces) EXPECT_NE(s.returned.find(piece), std::string::npos);
}

TEST_F(LiveDeepSeek, AStopEndsTheTurnAtOnce) {
    bootDeepSeek();
    std::stop_source stop;
    stop.request_stop();
    const Streamed s = stream("hello there", stop.get_token());
    // The engine ends within one decode step of the first piece.
    EXPECT_LE(std::count(s.returned.begin(), s.returned.end(), '['), 2);
    EXPECT_EQ(joined(s.pieces), s.returned);
}

TEST_F(LiveDeepSeek, BootstrapBenchesOnceAndPublishesTheResult) {
    bootDeepSeek(true);
    StderrCapture err;
    // A chat turn while the start-up bench runs waits its turn on the engine.
    const Streamed s = stream("hello there");
    EXPECT_FALSE(s.returned.empty());
    EXPECT_EQ(joined(s.pieces), s.returned);
    ASSERT_TRUE(qtWaitUntil([&] { return host->telemetry().lastBatchStatus != "(not measured)"; }, 120000));
    const std::string status = host->telemetry().lastBatchStatus.toStdString();
    EXPECT_TRUE(std::regex_match(status, std::regex("\\d+\\.\\d\\d TPS \xC2\xB7 64 tok \xC2\xB7 \\d+\\.\\d\\ds \\(B=16\\)")))
        << status;
    EXPECT_EQ(host->telemetry().lastBatchTokens, 64);
    EXPECT_GT(host->telemetry().lastBatchTPS, 0.0);
    EXPECT_NE(err.text().find("[vizivurad-engine] batch TPS: " + status + "\n"), std::string::npos);
    EXPECT_TRUE(host->isMatrixTelemetryRunning());
}

TEST_F(HostFixture, WithoutAnEngineTheStreamSaysSoAndReturnsNothing) {
    ScopedEnv gate("VIVIROV_FORCE_SCAFFOLD", "1");
    TempDir dir;
    makeGateway = [&](const std::string&) { return VMEngineGateway::create(dir.file("unbuildable")); };
    makeHost();
    StderrCapture err;
    int pieces = 0;
    std::string returned = "unset";
    std::thread worker([&] { returned = host->streamChatText("hi", [&](const std::string&) { ++pieces; }); });
    ASSERT_TRUE(qtWaitUntil([&] { return host->telemetry().generationPhase == GenerationPhase::error; }));
    worker.join();
    EXPECT_EQ(returned, "");
    EXPECT_EQ(pieces, 0);
    const std::string line = "[vizivurad-engine] streamChatText: engine not ready\n";
    const std::string log = err.text();
    EXPECT_NE(log.find(line), std::string::npos);
    EXPECT_EQ(log.find(line), log.rfind(line));
}

// A chat turn of the local provider over a Qwen2 file takes the live
// DeepSeek-V4 engine's chat path: the app's own host streams it.
TEST(LocalProviderOnLiveDeepSeek, QwenTurnStreamsThroughTheLiveEngine) {
    qtApp();
    ScopedEnv env;
    env.set("VEZEV_OM2_DIR", om2Dir()).set("VIVIROV_UVM_RING_MB", "4").set("VIVIROV_SKIP_TPS", "1");
    for (const char* gate : {"VIVIROV_FORCE_SCAFFOLD", "VIVIROV_MULTIPLEXING_GATE", "VIVIROV_GATE6",
                             "VIVIROV_BYTES_E2E", "VIVIROV_COALESCER_PROOF"})
        env.set(gate, std::nullopt);
    VizivuradEngine& app = VizivuradEngine::shared();
    bool booted = false;
    app.bootstrap(deepSeekModel().path(), [&] { booted = true; });
    ASSERT_TRUE(qtWaitUntil([&] { return booted; }, 60000));
    ASSERT_TRUE(app.runsLiveDeepSeek());

    TempDir dir;
    QwenModel qwen(QwenShape{});
    DerevududuvProvider provider(qwen.writer().write(dir.file("qwen.gguf")));
    std::string streamed;
    ProviderResponse response;
    std::atomic<bool> finished{false};
    StderrCapture err;
    std::thread turn([&] {
        response = provider.stream({ProviderChatMessage::make(ProviderRole::user, "hi")}, {}, 0.2,
                                   [&](const StreamDelta& d) {
                                       if (auto* t = std::get_if<StreamDelta::Text>(&d.value)) streamed += t->text;
                                   });
        finished = true;
    });
    ASSERT_TRUE(qtWaitUntil([&] { return finished.load(); }, 60000));
    turn.join();
    EXPECT_NE(err.text().find("[derevududuv-provider] ZOV4 chat \xE2\x86\x92 VizivuradEngine.streamChatText"),
              std::string::npos);
    EXPECT_FALSE(provider.hasLoadedEngine()); // the first-generation engine never loaded
    EXPECT_FALSE(response.content.empty());
    EXPECT_EQ(streamed, response.content);
}

// MARK: agent jobs

class Jobs : public HostFixture {};

TEST_F(Jobs, UserAndBackgroundJobsReachTheSchedulerWithTheirLaneAndDeadline) {
    makeHost(); // no engine: jobs stay queued where the snapshot shows them
    const uint64_t t0 = clock.uptimeNanos();
    host->submitUser({1, 2}, [](uint32_t) {}, [] {});
    clock.advance(5);
    host->submitBackground({3}, [](uint32_t) {}, [] {});
    const auto snap = scheduler->snapshot();
    ASSERT_EQ(snap.queuedJobsPreview.size(), 2u);
    const auto& user = snap.queuedJobsPreview[0];
    const auto& background = snap.queuedJobsPreview[1];
    EXPECT_EQ(user.lane, AgentScheduler::Lane::user);
    EXPECT_EQ(user.deadlineNanos, t0 + 1'000'000'000);
    EXPECT_EQ(user.role, AgentScheduler::AgentRole::coordinator);
    EXPECT_EQ(background.lane, AgentScheduler::Lane::background);
    EXPECT_EQ(background.deadlineNanos, t0 + 5 + 10'000'000'000);
    EXPECT_NE(user.id, background.id);
    // Only the user job yields background work.
    qtWaitUntil([] { return false; }, 20);
    EXPECT_EQ(yield->interruptCount(), 1);
}

TEST_F(Jobs, JobTokensAreThinnedToTheNewestPerInterval) {
    ScopedEnv gate("VIVIROV_GATE6", "1");
    makeHost();
    bootstrapAndSettle();
    StepGate steps(host->gateway()->engineHandle());
    struct Case {
        bool user;
        uint64_t interval;
    };
    for (const Case c : {Case{true, VizivuradEngine::uiFrameNanos}, Case{false, 100'000'000}}) {
        SCOPED_TRACE(c.user ? "user" : "background");
        std::mutex mu;
        std::vector<uint32_t> tokens;
        std::atomic<bool> done{false};
        auto onToken = [&](uint32_t t) {
            std::lock_guard lock(mu);
            tokens.push_back(t);
        };
        auto seen = [&] {
            std::lock_guard lock(mu);
            return tokens;
        };
        steps.close();
        const int before = steps.steps();
        steps.allow(5); // tokens 11 to 15, then the engine waits
        if (c.user) host->submitUser({10}, onToken, [&] { done = true; });
        else host->submitBackground({10}, onToken, [&] { done = true; });
        ASSERT_TRUE(qtWaitUntil([&] { return steps.steps() == before + 5 && !seen().empty(); }));
        clock.advance(c.interval - 1);
        qtWaitUntil([] { return false; }, 20);
        EXPECT_EQ(seen(), std::vector<uint32_t>{11}); // the first at once, the rest held
        clock.advance(1);
        ASSERT_TRUE(qtWaitUntil([&] { return seen().size() == 2; }));
        EXPECT_EQ(seen()[1], 15u); // only the newest held token
        steps.open();
        ASSERT_TRUE(qtWaitUntil([&] { return done.load(); }));
        const std::vector<uint32_t> atDone = seen();
        advanceAndSettle(c.interval);
        EXPECT_EQ(seen(), atDone); // the held token came before the job's end
    }
}

TEST(MultiplexingStats, LatencyFigures) {
    struct Case {
        std::vector<double> ms;
        std::optional<double> mean, p95;
    };
    std::vector<double> oneToTwenty;
    for (int i = 1; i <= 20; ++i) oneToTwenty.push_back(i);
    const std::vector<Case> cases = {
        {{}, std::nullopt, std::nullopt},
        {{1, 2, 3, 4, 100}, 22.0, 22.0}, // below 20 samples the "p95" is the mean
        {oneToTwenty, 10.5, 20.0},
    };
    for (const auto& c : cases) {
        VizivuradEngine::MultiplexingStats stats;
        for (double ms : c.ms) stats.preemptLatencyNanos.push_back(uint64_t(ms * 1e6));
        EXPECT_EQ(stats.meanPreemptLatencyMs(), c.mean);
        EXPECT_EQ(stats.p95PreemptLatencyMs(), c.p95);
    }
}

} // namespace
} // namespace vivirov::test
