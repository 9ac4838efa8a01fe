// The first-generation host: its choice of model file on a private home,
// start and swap reports with real engines, and the bounded teardown at quit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "VivirovKit/Support/Clock.h"
#include "VivirovVizivurad/EngineHost/EngineTeardownRegistry.h"
#include "VivirovVizivurad/EngineHost/InProcessEngine.h"
#include "tests/EngineHost/EngineHostFixture.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using namespace vivirov::test;

namespace {

const std::string kDash = " \xE2\x80\x94 ";

struct Statuses {
    std::mutex mutex;
    std::vector<std::string> seen;
    InProcessHost::StatusCallback callback() {
        return [this](const std::string& s) {
            std::lock_guard lock(mutex);
            seen.push_back(s);
        };
    }
    std::vector<std::string> waitFor(size_t n) {
        EXPECT_TRUE(waitUntil([&] {
            std::lock_guard lock(mutex);
            return seen.size() >= n;
        }));
        std::lock_guard lock(mutex);
        return std::exchange(seen, {});
    }
};

class InProcessEngineTest : public EngineHostFixture {
protected:
    std::string qwen(const std::string& relative, uint32_t seed = 1) const {
        QwenShape shape;
        shape.seed = seed;
        const std::string path = home_.file(relative);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        return QwenModel(shape).writer().write(path);
    }
};

} // namespace

TEST_F(InProcessEngineTest, ChoosesTheModelFromTheEnvironmentThenTheSmallestInstalledFile) {
    {
        ScopedEnv env;
        env.set("QUINTORA_MODEL_PATH", "").set("VIVIROV_MODEL_PATH", "/missing/model.gguf");
        InProcessEngine host;
        EXPECT_EQ(host.modelPath(), "/missing/model.gguf");
        EXPECT_EQ(InProcessEngine::activeModelPath(), "/missing/model.gguf");
        Statuses statuses;
        host.start(statuses.callback());
        EXPECT_EQ(statuses.waitFor(1), std::vector<std::string>{"model GGUF not found" + kDash + "set QUINTORA_MODEL_PATH"});
    }
    {
        ScopedEnv env;
        env.set("QUINTORA_MODEL_PATH", " first.gguf").set("VIVIROV_MODEL_PATH", "second.gguf");
        EXPECT_EQ(InProcessEngine::chooseModelPath(), " first.gguf"); // neither trimmed nor checked
    }

    // Only a file below 64 MiB: the built-in path, and the line that says so.
    file("models/tiny.gguf", 60 * kMiB);
    {
        StderrCapture capture;
        EXPECT_EQ(InProcessEngine::chooseModelPath(), InProcessEngine::builtInModelPath);
        EXPECT_NE(capture.text().find(std::string("[vivirov] default GGUF missing (") + InProcessEngine::builtInModelPath +
                                      ") and no *.gguf in ~/models or " + modelsDir() + kDash +
                                      "set QUINTORA_MODEL_PATH\n"),
                  std::string::npos);
    }

    file("models/a.gguf", 100 * kMiB);
    const std::string b = file("models/sub/b.GGUF", 70 * kMiB);
    file("data/com.dudive.vivirov/models/org/repo/c.gguf", 70 * kMiB);
    {
        StderrCapture capture;
        EXPECT_EQ(InProcessEngine::chooseModelPath(), b); // equal sizes: ~/models is walked first
        EXPECT_NE(capture.text().find(std::string("[vivirov] default GGUF missing (") + InProcessEngine::builtInModelPath +
                                      ")" + kDash + "fell back to " + b + "\n"),
                  std::string::npos);
        EXPECT_EQ(InProcessEngine::activeModelPath(), b);
    }
    // A link counts by the size of what it names.
    const std::string target = file("elsewhere/exact.bin", 64 * kMiB);
    const std::string alias = link("models/alias.gguf", target);
    EXPECT_EQ(InProcessEngine::chooseModelPath(), alias);
}

TEST_F(InProcessEngineTest, StartAndSwapReportEachOutcome) {
    const std::string a = qwen("models/m/qwen-a.gguf");
    const std::string b = qwen("models/m/qwen-b.gguf", 2);
    const std::string notModel = file("models/Qwen.gguf", 100 * kMiB, "not a model");
    ScopedEnv env("QUINTORA_MODEL_PATH", notModel);

    InProcessEngine refused;
    Statuses statuses;
    refused.start(statuses.callback());
    EXPECT_EQ(statuses.waitFor(1), std::vector<std::string>{"Derevududuv engine failed to load"});
    EXPECT_FALSE(refused.hasEngine());

    ScopedEnv useA("QUINTORA_MODEL_PATH", a);
    InProcessEngine host;
    host.start(statuses.callback());
    EXPECT_EQ(statuses.waitFor(1), std::vector<std::string>{"ready"});
    EXPECT_TRUE(host.hasEngine());

    host.swap(home_.file("models/absent.gguf"), statuses.callback());
    EXPECT_EQ(statuses.waitFor(1), std::vector<std::string>{"model GGUF not found"});
    host.swap(notModel, statuses.callback());
    EXPECT_EQ(statuses.waitFor(2), (std::vector<std::string>{"loading Qwen.gguf\xE2\x80\xA6", "load failed"}));
    EXPECT_TRUE(host.hasEngine());
    EXPECT_EQ(host.modelPath(), a);
    EXPECT_EQ(InProcessEngine::activeModelPath(), a);

    host.swap(b, statuses.callback());
    EXPECT_EQ(statuses.waitFor(2), (std::vector<std::string>{"loading qwen-b.gguf\xE2\x80\xA6", "ready"}));
    EXPECT_EQ(host.modelPath(), b);
    EXPECT_EQ(InProcessEngine::activeModelPath(), b);

    // Let go at once when nothing holds the queue: no time-out line.
    StderrCapture capture;
    host.shutdownForTermination();
    EXPECT_FALSE(host.hasEngine());
    EXPECT_EQ(capture.text().find("timed out"), std::string::npos);
}

// At quit a swap hangs on a model path that never delivers (a pipe nobody
// writes): the teardown gives up after 1.5 s on the clock, says so, and the
// process still ends cleanly once the load returns. A host already released
// leaves a hook that does nothing.
TEST_F(InProcessEngineTest, TeardownAtQuitIsBoundedAndSkipsReleasedHosts) {
    const std::string a = qwen("models/m/qwen-a.gguf");
    ScopedEnv env("QUINTORA_MODEL_PATH", a);
    Statuses statuses;
    {
        InProcessEngine released;
        released.start(statuses.callback());
        EXPECT_EQ(statuses.waitFor(1), std::vector<std::string>{"ready"});
    }
    auto host = std::make_unique<InProcessEngine>();
    host->start(statuses.callback());
    EXPECT_EQ(statuses.waitFor(1), std::vector<std::string>{"ready"});

    const std::string fifo = home_.file("models/stuck.gguf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    host->swap(fifo, statuses.callback());
    EXPECT_EQ(statuses.waitFor(1), std::vector<std::string>{"loading stuck.gguf\xE2\x80\xA6"});

    FakeClock clock;
    Clock::setCurrent(&clock);
    std::thread quitTimer([&] {
        ASSERT_TRUE(waitUntil([&] { return clock.sleepers() == 1; }));
        clock.advance(InProcessEngine::kTeardownWaitNanos - 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // not yet: the wait holds
        EXPECT_EQ(clock.sleepers(), 1);
        clock.advance(1);
    });
    {
        StderrCapture capture;
        EngineTeardownRegistry::shared().shutdownAll();
        EXPECT_EQ(capture.text(),
                  "vivirov: InProcessEngine teardown timed out at quit" + kDash + "proceeding with exit\n");
    }
    quitTimer.join();
    Clock::setCurrent(nullptr);

    // The pipe ends empty: the load fails, and the release queued behind it runs.
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ::close(writer);
    EXPECT_EQ(statuses.waitFor(1), std::vector<std::string>{"load failed"});
    EXPECT_FALSE(host->hasEngine());
    host.reset();
}
