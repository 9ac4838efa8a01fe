// The local provider over real first-generation engines on small written
// models: whole turns, the loop on top, cancellation, concurrent first turns,
// model changes, the second-generation branch and the start-up demo.
#include <gtest/gtest.h>

// Before any Qt header: Qt's `emit` macro would rename the loop's member.
#include "VivirovKit/Agentic/AgenticLoop.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VivirovKit/Agentic/SentinelDaemon.h"
#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/EngineHost/DerevududuvBrain.h"
#include "VivirovVizivurad/EngineHost/DerevududuvProvider.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "engine/include/vm_engine.h"
#include "tests/support/ScopedEnv.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using test::ScopedEnv;
using test::TempDir;

namespace {

ProviderChatMessage msg(ProviderRole role, std::string content) { return ProviderChatMessage::make(role, std::move(content)); }

// What the engine alone answers to the prompt, as text.
std::string directAnswer(const std::string& path, const std::string& prompt, int32_t n) {
    vm_engine* e = vm_engine_create(path.c_str());
    std::string bytes;
    vm_engine_infer(e, prompt.c_str(), n, [](const char* p, void* u) { *static_cast<std::string*>(u) += p; }, &bytes);
    vm_engine_free(e);
    return text::decodeUTF8Lossy(bytes);
}

class DerevududuvTurnTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        // Weights large enough that greedy answers vary from token to token.
        test::QwenShape a, b;
        a.scale = b.scale = 0.5f;
        b.seed = 2;
        modelA_ = test::QwenModel(a).writer().write(dir_->file("qwen-a.gguf"));
        modelB_ = test::QwenModel(b).writer().write(dir_->file("qwen-b.gguf"));
    }
    static void TearDownTestSuite() { delete dir_; }

    DerevududuvTurnTest() {
        env_.set("VIVIROV_VM_MLOCK", "0").set("VIVIROV_VM_NPREDICT", "12").set("VIVIROV_LOW_RAM", std::nullopt);
    }

    ScopedEnv env_;
    const std::vector<ProviderChatMessage> hello_{msg(ProviderRole::user, "hello world")};
    const std::string helloPrompt_ = DerevududuvProvider::buildQwenChatPrompt(hello_);

    static TempDir* dir_;
    static std::string modelA_, modelB_;
};

TempDir* DerevududuvTurnTest::dir_ = nullptr;
std::string DerevududuvTurnTest::modelA_, DerevududuvTurnTest::modelB_;

} // namespace

TEST(DerevududuvProvider, ReadinessFollowsTheModelFile) {
    TempDir dir;
    const std::string model = dir.write("ZOV4-Core-Only.gguf", "not even a GGUF file");

    DerevududuvProvider provider(dir.file("absent.gguf"));
    EXPECT_EQ(provider.id(), "derevududuv");
    EXPECT_EQ(provider.displayName(), "Local \xC2\xB7 Derevududuv (Qwen chat \xC2\xB7 ZOV4 LIVE separate)");
    EXPECT_FALSE(provider.supportsVision());
    EXPECT_EQ(provider.apiKey(), std::nullopt);

    struct Case {
        std::string path;
        bool ready;
    };
    const Case cases[] = {{"", false}, {dir.file("absent.gguf"), false}, {model, true}};
    for (const auto& c : cases) {
        provider.setModel(c.path);
        EXPECT_EQ(provider.model(), c.path);
        EXPECT_EQ(provider.isReady(), c.ready) << c.path;
    }
}

TEST(DerevududuvProvider, LoadFailuresAreNotReadyAndTheNextTurnTriesAgain) {
    ScopedEnv env("VIVIROV_VM_MLOCK", "0");
    TempDir dir;
    const std::string present = dir.write("model.gguf", "GGUF");
    const std::string absent = dir.file("absent.gguf");
    const std::pair<std::string, std::string> cases[] = {
        {absent, "Derevududuv model not found: " + absent},
        {present, "Derevududuv engine failed to load: " + present},
    };
    for (const auto& [path, message] : cases) {
        DerevududuvProvider provider(path);
        for (int turn = 0; turn < 2; ++turn) {
            int deltas = 0;
            try {
                provider.stream({msg(ProviderRole::user, "hi")}, {}, 0.7, [&](const StreamDelta&) { ++deltas; });
                ADD_FAILURE() << "stream returned for " << path;
            } catch (const LLMProviderError& error) {
                EXPECT_EQ(error.kind(), LLMProviderError::Kind::notReady);
                EXPECT_EQ(error.message(), message);
            }
            EXPECT_EQ(deltas, 0);
            EXPECT_FALSE(provider.hasLoadedEngine());
        }
    }
}

TEST(DerevududuvProvider, PromptBuildersMatchTheirGoldenText) {
    const std::string persona = "<|im_start|>system\nYou are Vivirov, a helpful assistant.<|im_end|>\n";
    const std::vector<ProviderChatMessage> history = {
        msg(ProviderRole::user, "Read a.txt"), msg(ProviderRole::assistant, "calling"),
        msg(ProviderRole::tool, "42"), msg(ProviderRole::user, "and?")};
    EXPECT_EQ(DerevududuvProvider::buildQwenChatPrompt({}), persona + "<|im_start|>assistant\n");
    EXPECT_EQ(DerevududuvProvider::buildQwenChatPrompt(history),
              persona +
                  "<|im_start|>user\nRead a.txt<|im_end|>\n"
                  "<|im_start|>assistant\ncalling<|im_end|>\n"
                  "<|im_start|>user\n<tool_result>\n42\n</tool_result><|im_end|>\n"
                  "<|im_start|>user\nand?<|im_end|>\n"
                  "<|im_start|>assistant\n");
    EXPECT_EQ(DerevududuvProvider::buildQwenChatPrompt(
                  {msg(ProviderRole::user, "hi"), msg(ProviderRole::system, "Be brief.")}),
              "<|im_start|>user\nhi<|im_end|>\n<|im_start|>system\nBe brief.<|im_end|>\n<|im_start|>assistant\n");

    auto plain = [](const std::string& content) {
        return "### Instruction:\nYou are Vivirov, a helpful assistant. Answer clearly in natural English.\n"
               "### Input:\n" + content + "\n### Response:\n";
    };
    const std::string longText = std::string(170, 'x') + "\xC3\xA9\xC3\xA9\xC3\xA9" + std::string(27, 'y');
    struct Case {
        std::vector<ProviderChatMessage> messages;
        std::string content;
    };
    const Case cases[] = {
        {{}, "Hello"},
        {history, "and?"},
        {{msg(ProviderRole::user, "first"), msg(ProviderRole::assistant, "last")}, "first"},
        {{msg(ProviderRole::system, "only system")}, "only system"},
        {{msg(ProviderRole::user, longText)}, std::string(170, 'x') + "\xC3\xA9\xC3\xA9\xC3\xA9" + std::string(7, 'y')},
    };
    for (const auto& c : cases) EXPECT_EQ(DerevududuvProvider::buildPlainChatPrompt(c.messages), plain(c.content));
}

TEST_F(DerevududuvTurnTest, ATurnStreamsTheEnginesAnswerAndShowsTheFirstLoad) {
    DerevududuvProvider provider(modelA_);
    std::vector<QString> statuses;
    QObject::connect(&VizivuradEngine::shared(), &VizivuradEngine::loadingStatusChanged,
                     [&] { statuses.push_back(VizivuradEngine::shared().loadingStatus()); });
    std::string streamed;
    ProviderResponse response = provider.stream(hello_, {{"read_file", "Read", {}}}, 0.2, [&](const StreamDelta& d) {
        streamed += std::get<StreamDelta::Text>(d.value).text;
    });
    EXPECT_EQ(response.content, directAnswer(modelA_, helloPrompt_, 12));
    EXPECT_FALSE(response.content.empty());
    EXPECT_EQ(streamed, response.content);
    EXPECT_TRUE(response.toolCalls.empty());
    EXPECT_EQ(response.stopReason, StopReason::endTurn());
    EXPECT_FALSE(response.usage);
    EXPECT_EQ(statuses, (std::vector<QString>{QString::fromUtf8("Loading local model\xE2\x80\xA6 (this can take a minute)"),
                                              QString()}));

    // The engine stays: the next turn shows no loading.
    provider.stream(hello_, {}, 0.2, nullptr);
    EXPECT_EQ(statuses.size(), 2u);
    QObject::disconnect(&VizivuradEngine::shared(), &VizivuradEngine::loadingStatusChanged, nullptr, nullptr);
}

TEST_F(DerevududuvTurnTest, ThePredictCountComesFromTheEnvironment) {
    DerevududuvProvider provider(modelA_);
    const std::pair<std::optional<std::string>, int> cases[] = {
        {"+5", 5}, {"abc", 256}, {"", 256}, {"0", 0}, {"-3", 0}};
    for (const auto& [value, n] : cases) {
        ScopedEnv env("VIVIROV_VM_NPREDICT", value);
        ProviderResponse response = provider.stream(hello_, {}, 0.2, nullptr);
        EXPECT_EQ(response.content, n == 0 ? "" : directAnswer(modelA_, helloPrompt_, n)) << value.value_or("unset");
        EXPECT_EQ(response.stopReason, StopReason::endTurn());
    }
}

// The user stops the turn while piece 3 arrives: the engine ends before the
// next token, the turn ends with the cancellation, and the provider serves
// the next turn whole.
TEST_F(DerevududuvTurnTest, CancellingATurnStopsTheEngineWithinOneToken) {
    DerevududuvProvider provider(modelA_);
    std::stop_source cancel;
    std::mutex m;
    std::condition_variable cv;
    int deltas = 0;
    bool stopped = false;
    std::thread user([&] {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return deltas == 3; });
        cancel.request_stop();
        stopped = true;
        cv.notify_all();
    });
    EXPECT_THROW(provider.stream(hello_, {}, 0.2,
                                 [&](const StreamDelta&) {
                                     std::unique_lock lock(m);
                                     if (++deltas == 3) {
                                         cv.notify_all();
                                         cv.wait(lock, [&] { return stopped; });
                                     }
                                 },
                                 cancel.get_token()),
                 CancellationError);
    user.join();
    EXPECT_EQ(deltas, 3);

    EXPECT_EQ(provider.stream(hello_, {}, 0.2, nullptr).content, directAnswer(modelA_, helloPrompt_, 12));

    // Cancelled before it starts: nothing runs.
    DerevududuvProvider fresh(modelA_);
    std::stop_source early;
    early.request_stop();
    EXPECT_THROW(fresh.stream(hello_, {}, 0.2, nullptr, early.get_token()), CancellationError);
    EXPECT_FALSE(fresh.hasLoadedEngine());
}

TEST_F(DerevududuvTurnTest, ConcurrentFirstTurnsLoadTheModelOnce) {
    ScopedEnv lowRam("VIVIROV_LOW_RAM", "1"); // each load writes one line
    ScopedEnv mlock("VIVIROV_VM_MLOCK", std::nullopt);
    DerevududuvProvider provider(modelA_);
    test::StderrCapture capture;
    std::vector<std::future<std::string>> turns;
    for (int i = 0; i < 4; ++i)
        turns.push_back(std::async(std::launch::async, [&] { return provider.stream(hello_, {}, 0.2, nullptr).content; }));
    const std::string expected = directAnswer(modelA_, helloPrompt_, 12);
    for (auto& t : turns) EXPECT_EQ(t.get(), expected);
    const std::string log = capture.text();
    size_t loads = 0;
    for (size_t at = log.find("pin_resident: SKIPPED"); at != std::string::npos; at = log.find("pin_resident: SKIPPED", at + 1))
        ++loads;
    EXPECT_EQ(loads, 2u); // the provider's one load and directAnswer's
}

// A model change during a generation lets that generation finish on its own
// engine; the next turn runs the new file.
TEST_F(DerevududuvTurnTest, ChangingTheModelDuringAGenerationTakesEffectOnTheNextTurn) {
    DerevududuvProvider provider(modelA_);
    int deltas = 0;
    std::string streamed;
    ProviderResponse during = provider.stream(hello_, {}, 0.2, [&](const StreamDelta& d) {
        if (++deltas == 2) {
            std::thread([&] { provider.setModel(modelB_); }).join();
            EXPECT_FALSE(provider.hasLoadedEngine());
        }
        streamed += std::get<StreamDelta::Text>(d.value).text;
    });
    EXPECT_EQ(during.content, directAnswer(modelA_, helloPrompt_, 12));
    EXPECT_EQ(streamed, during.content);
    EXPECT_EQ(provider.model(), modelB_);

    const std::string answerB = directAnswer(modelB_, helloPrompt_, 12);
    ASSERT_NE(answerB, during.content);
    EXPECT_EQ(provider.stream(hello_, {}, 0.2, nullptr).content, answerB);
    provider.setModel(modelB_); // the same path keeps the engine
    EXPECT_TRUE(provider.hasLoadedEngine());
}

TEST_F(DerevududuvTurnTest, DeepSeekModelsAndALiveDeepSeekEngineTakeTheSecondGenerationPath) {
    const std::string zov4 = dir_->write("ZOV4-Core-Only.gguf", "GGUF");
    const std::string noTokens =
        "ZOV4 Core-Only engine produced no tokens \xE2\x80\x94 check LIVE ZOV4 / mlock / logs";
    auto expectSecondGeneration = [&](DerevududuvProvider& provider) {
        test::StderrCapture capture;
        try {
            provider.stream(hello_, {}, 0.2, nullptr);
            ADD_FAILURE() << "no failure";
        } catch (const LLMProviderError& e) {
            EXPECT_EQ(e.kind(), LLMProviderError::Kind::notReady);
            EXPECT_EQ(e.message(), noTokens);
        }
        const size_t chars = text::graphemeCount(DerevududuvProvider::buildPlainChatPrompt(hello_));
        EXPECT_NE(capture.text().find("[derevududuv-provider] ZOV4 chat \xE2\x86\x92 VizivuradEngine.streamChatText (" +
                                      std::to_string(chars) + " chars prompt)\n"),
                  std::string::npos);
        // The host boots its scaffold, whose engine has no chat call.
        EXPECT_NE(capture.text().find("[vm-gateway] generateText: rc=-1 chars=0 preview=\n"), std::string::npos);
        EXPECT_FALSE(provider.hasLoadedEngine());
    };
    DerevududuvProvider deepSeek(zov4);
    expectSecondGeneration(deepSeek);

    auto& host = VizivuradEngine::shared();
    DerevududuvProvider qwen(modelA_);
    host.setActiveEnginePath(VizivuradEngine::EnginePath::deepseek4GGUF);
    host.setGatewayHasEngine(true);
    expectSecondGeneration(qwen);
    host.setGatewayHasEngine(false); // a published path without an engine is not live
    EXPECT_EQ(qwen.stream(hello_, {}, 0.2, nullptr).content, directAnswer(modelA_, helloPrompt_, 12));
    host.setActiveEnginePath(VizivuradEngine::EnginePath::none);
}

// The agentic loop drives the local provider like any other: one round, the
// engine's answer as the final text.
TEST_F(DerevududuvTurnTest, TheAgenticLoopRunsOnTheLocalEngine) {
    struct Sink : AgenticUISink {
        std::string text;
        void surfaceText(const std::string& t) override { text += t; }
        void surfaceToolStart(const std::string&) override {}
        void surfaceToolResult(const std::string&, const std::string&) override {}
    };
    auto provider = std::make_shared<DerevududuvProvider>(modelA_);
    auto sink = std::make_shared<Sink>();
    SentinelDaemon sentinel;
    AgenticLoop::Probes probes;
    probes.sentinel = &sentinel;
    probes.swapUsedMB = [] { return std::optional<double>(0.0); };
    probes.schedulerYield = [] {};
    AgenticLoop loop(provider, std::make_shared<ToolRegistry>(), std::make_shared<AlwaysApproveGate>(), sink, 4,
                     "You are a test agent.", {"TASK COMPLETE"}, probes);
    auto result = loop.run("hello world", {}, CapabilityManifest{}, 0.2);
    EXPECT_EQ(result.iterations, 1);
    EXPECT_EQ(result.toolCalls, 0);
    EXPECT_FALSE(result.finalText.empty());
    EXPECT_NE(sink->text.find(result.finalText), std::string::npos);
}

TEST_F(DerevududuvTurnTest, TheStartUpDemoAnswersOrStepsAside) {
    struct Log {
        std::mutex m;
        std::vector<std::string> lines;
        std::function<void(const std::string&)> sink() {
            return [this](const std::string& l) {
                std::lock_guard lock(m);
                lines.push_back(l);
            };
        }
        std::vector<std::string> get() {
            std::lock_guard lock(m);
            return lines;
        }
    };
    {
        Log log;
        ScopedEnv env;
        env.set("VIVIROV_VM_QWEN_MODEL", std::nullopt).set("VIVIROV_VM_MODEL", dir_->file("DeepSeek-V4-Flash.gguf"));
        DerevududuvBrain::runDemoIfRequested(log.sink());
        EXPECT_EQ(log.get(), std::vector<std::string>{"[vm-engine] skip Qwen demo for ZOV4 path deepseek-v4-flash.gguf "
                                                      "\xE2\x80\x94 use VizivuradEngine / vivirov_vm_v2_*"});
    }
    {
        Log log;
        ScopedEnv env;
        env.set("VIVIROV_VM_QWEN_MODEL", modelA_).set("VIVIROV_VM_MODEL", "ignored").set("VIVIROV_VM_PROMPT", "hello world");
        DerevududuvBrain::runDemoIfRequested(log.sink());
        ASSERT_TRUE(test::waitUntil([&] { return log.get().size() == 2; }));
        EXPECT_EQ(log.get()[0], "[vm-engine] loading native Derevududuv engine (zero llama.cpp) \xE2\x80\x94 " + modelA_);
        EXPECT_EQ(log.get()[1], "[vm-engine] IN-APP NATIVE: \"hello world\" ->" +
                                    directAnswer(modelA_, "hello world", 16) +
                                    "  (16 pieces, Derevududuv, no llama.cpp)");
    }
    {
        Log log;
        ScopedEnv env;
        env.set("VIVIROV_VM_QWEN_MODEL", std::nullopt).set("VIVIROV_VM_MODEL", dir_->file("missing.gguf"));
        DerevududuvBrain::runDemoIfRequested(log.sink());
        ASSERT_TRUE(test::waitUntil([&] { return log.get().size() == 2; }));
        EXPECT_EQ(log.get()[1], "[vm-engine] create FAILED");
    }
    Log none;
    ScopedEnv env;
    env.set("VIVIROV_VM_QWEN_MODEL", std::nullopt).set("VIVIROV_VM_MODEL", std::nullopt);
    DerevududuvBrain::runDemoIfRequested(none.sink());
    EXPECT_TRUE(none.get().empty());
}
