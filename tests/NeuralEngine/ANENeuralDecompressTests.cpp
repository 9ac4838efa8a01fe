#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <thread>

#include "VivirovVizivurad/NeuralEngine/ANENeuralDecompress.h"
#include "tests/NeuralEngine/FakeNeuralModel.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

namespace vivirov {
namespace {

using test::answerWith;
using test::FakeNeuralModel;
using test::FakeNeuralRuntime;

ANENeuralDecompress::DecodeResult decodeAsyncAndWait(ANENeuralDecompress& decoder, std::vector<float> latent,
                                                     int outputCount) {
    std::promise<ANENeuralDecompress::DecodeResult> done;
    decoder.decodeAsync(std::move(latent), outputCount,
                        [&done](ANENeuralDecompress::DecodeResult result) { done.set_value(std::move(result)); });
    return done.get_future().get();
}

void expectDecodeFailure(const ANENeuralDecompress::DecodeResult& result, int code) {
    const auto* error = std::get_if<ANEDecodeError>(&result);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, "ANENeuralDecompress");
    EXPECT_EQ(error->code, code);
    if (code == 1) {
        EXPECT_EQ(error->localizedDescription, "model missing or decode failed");
    }
}

struct DecoderFixture : ::testing::Test {
    test::TempDir dir;
    FakeNeuralRuntime runtime;
    std::string modelPath = dir.file("Vivirov/expert_decoder.onnx");

    void installModel(NeuralModelResult answer) {
        dir.write("Vivirov/expert_decoder.onnx", "model");
        runtime.model = std::make_shared<FakeNeuralModel>(std::move(answer));
    }
};

TEST_F(DecoderFixture, WithoutAModelFileEveryDecodeFailsSilentlyUntilOneIsInstalled) {
    test::StderrCapture err;
    ANENeuralDecompress decoder(modelPath);
    EXPECT_FALSE(decoder.isAvailable());
    EXPECT_TRUE(runtime.loads.empty());
    float latent[2] = {1, 2};
    float out[3] = {7, 7, 7};
    EXPECT_FALSE(decoder.decodeInto(latent, 2, out, 3));
    expectDecodeFailure(decodeAsyncAndWait(decoder, {1, 2}, 3), 1);
    EXPECT_EQ(err.text().find("[ANENeuralDecompress]"), std::string::npos);

    installModel(answerWith({4, 5, 6}));
    decoder.reload();
    ASSERT_TRUE(decoder.isAvailable());
    EXPECT_EQ(runtime.loads, std::vector<std::string>{modelPath + " latent->weights"});
    EXPECT_TRUE(decoder.decodeInto(latent, 2, out, 3));
}

TEST_F(DecoderFixture, AModelThatFailsToLoadIsLoggedAndUnavailable) {
    dir.write("Vivirov/expert_decoder.onnx", "not a model");
    runtime.loadError = "protobuf parsing failed";
    test::StderrCapture err;
    ANENeuralDecompress decoder(modelPath);
    EXPECT_FALSE(decoder.isAvailable());
    EXPECT_NE(err.text().find("[ANENeuralDecompress] load failed: protobuf parsing failed\n"), std::string::npos);
    expectDecodeFailure(decodeAsyncAndWait(decoder, {1}, 1), 1);
}

TEST_F(DecoderFixture, OutputIsTruncatedOrZeroFilledToTheRequestedCount) {
    struct Case {
        std::vector<float> modelOutput;
        std::vector<float> expected;
    };
    const Case cases[] = {
        {{1, 2, 3, 4, 5, 6}, {1, 2, 3, 4}},
        {{1, 2}, {1, 2, 0, 0}},
        {{1, 2, 3, 4}, {1, 2, 3, 4}},
        {{}, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        installModel(answerWith(c.modelOutput));
        ANENeuralDecompress decoder(modelPath);
        const std::vector<float> latent = {0.5f, -0.5f, 2};
        std::vector<float> out(4, 9.0f);
        EXPECT_TRUE(decoder.decodeInto(latent.data(), 3, out.data(), 4));
        EXPECT_EQ(out, c.expected);

        auto result = decodeAsyncAndWait(decoder, latent, 4);
        ASSERT_TRUE(std::holds_alternative<std::vector<float>>(result));
        EXPECT_EQ(std::get<std::vector<float>>(result), c.expected);
        EXPECT_EQ(runtime.model->inputs(), (std::vector<std::vector<float>>{latent, latent}));
    }
}

TEST_F(DecoderFixture, ModelErrorsAndAMissingOutputAreDecodeFailures) {
    for (auto status : {NeuralModelResult::Status::failed, NeuralModelResult::Status::missingOutput}) {
        installModel({status, {}, "Non-zero status code returned while running Mul node"});
        ANENeuralDecompress decoder(modelPath);
        ASSERT_TRUE(decoder.isAvailable());
        float latent[1] = {1};
        float out[2] = {7, 7};
        test::StderrCapture err;
        EXPECT_FALSE(decoder.decodeInto(latent, 1, out, 2));
        expectDecodeFailure(decodeAsyncAndWait(decoder, {1}, 2), 1);
        expectDecodeFailure(decodeAsyncAndWait(decoder, {1}, -1), 1);
        EXPECT_EQ(err.text(), "");
    }
}

TEST_F(DecoderFixture, AsynchronousDecodesRunAndCompleteOnTheDecoderQueue) {
    installModel(answerWith({1}));
    ANENeuralDecompress decoder(modelPath);
    std::promise<std::pair<std::thread::id, std::string>> completedOn;
    decoder.decodeAsync({1}, 1, [&](ANENeuralDecompress::DecodeResult) {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        completedOn.set_value({std::this_thread::get_id(), name});
    });
    auto [thread, name] = completedOn.get_future().get();
    EXPECT_EQ(thread, runtime.model->threads().at(0));
    EXPECT_NE(thread, std::this_thread::get_id());
    const std::string label = "com.dudive.vivirov.ane.decompress";
    EXPECT_TRUE(!name.empty() && label.ends_with(name)) << name;
}

TEST_F(DecoderFixture, DecodesQueuedBehindADestroyedDecoderFailWithCodeMinusOne) {
    installModel(answerWith({3}));
    std::weak_ptr<FakeNeuralModel> model = runtime.model;
    runtime.model->closeGate();
    auto decoder = std::make_unique<ANENeuralDecompress>(modelPath);
    runtime.model.reset(); // the decoder and the running decode hold the model now

    std::promise<ANENeuralDecompress::DecodeResult> first, second;
    decoder->decodeAsync({1}, 1, [&](auto result) { first.set_value(std::move(result)); });
    decoder->decodeAsync({2}, 1, [&](auto result) { second.set_value(std::move(result)); });
    model.lock()->waitForHeldRun();

    std::thread destroyer([&] { decoder.reset(); });
    // Once the decoder's own reference to the model is gone, only the held run keeps it.
    while (model.use_count() > 1) std::this_thread::yield();
    model.lock()->openGate();
    destroyer.join();

    auto started = first.get_future().get();
    ASSERT_TRUE(std::holds_alternative<std::vector<float>>(started));
    EXPECT_EQ(std::get<std::vector<float>>(started), std::vector<float>{3});
    expectDecodeFailure(second.get_future().get(), -1);
}

} // namespace
} // namespace vivirov
