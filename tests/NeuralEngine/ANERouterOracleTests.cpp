#include <gtest/gtest.h>

#include <QThread>
#include <climits>

#include "VivirovVizivurad/NeuralEngine/ANERouterOracle.h"
#include "tests/NeuralEngine/FakeNeuralModel.h"
#include "tests/support/QtHarness.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

namespace vivirov {
namespace {

using test::answerWith;
using test::FakeNeuralModel;
using test::FakeNeuralRuntime;

struct Completed {
    bool done = false;
    bool onGuiThread = false;
    std::optional<ANEExpertPrediction> prediction;
};

struct OracleFixture : ::testing::Test {
    test::TempDir dir;
    FakeNeuralRuntime runtime;
    std::string modelPath = dir.file("Vivirov/router_oracle.onnx");

    void SetUp() override { test::qtApp(); }

    std::unique_ptr<ANERouterOracle> oracleWith(NeuralModelResult answer) {
        dir.write("Vivirov/router_oracle.onnx", "model");
        runtime.model = std::make_shared<FakeNeuralModel>(std::move(answer));
        return std::make_unique<ANERouterOracle>(modelPath);
    }

    static Completed predict(ANERouterOracle& oracle, int32_t layer, std::vector<float> hidden, int topK) {
        Completed completed;
        oracle.predictAsync(layer, std::move(hidden), topK, [&](std::optional<ANEExpertPrediction> prediction) {
            completed.onGuiThread = QThread::currentThread() == test::qtApp().thread();
            completed.prediction = std::move(prediction);
            completed.done = true;
        });
        EXPECT_TRUE(test::qtWaitUntil([&] { return completed.done; }));
        return completed;
    }
};

TEST_F(OracleFixture, RanksExpertsByScoreWithTiesInIndexOrder) {
    struct Case {
        std::vector<float> logits;
        int topK;
        std::vector<int32_t> ids;
        std::vector<float> scores;
    };
    const Case cases[] = {
        {{0.1f, 0.9f, 0.9f, 0.3f}, 2, {1, 2}, {0.9f, 0.9f}},
        {{0.1f, 0.9f, 0.9f, 0.3f}, 10, {1, 2, 3, 0}, {0.9f, 0.9f, 0.3f, 0.1f}},
        {{0.1f, 0.9f, 0.9f, 0.3f}, 0, {}, {}},
        {{-2, -1, -1, -3}, 3, {1, 2, 0}, {-1, -1, -2}},
        {{}, 4, {}, {}},
    };
    for (const Case& c : cases) {
        auto oracle = oracleWith(answerWith(c.logits));
        ASSERT_TRUE(oracle->isAvailable());
        Completed completed = predict(*oracle, 7, {0.5f, 1.5f}, c.topK);
        EXPECT_TRUE(completed.onGuiThread);
        ASSERT_TRUE(completed.prediction.has_value()) << "topK " << c.topK;
        EXPECT_EQ(completed.prediction->layer, 7);
        EXPECT_EQ(completed.prediction->expertIds, c.ids);
        EXPECT_EQ(completed.prediction->scores, c.scores);
        EXPECT_GE(completed.prediction->latencyMs, 0.0);
        EXPECT_EQ(runtime.model->inputs().at(0), (std::vector<float>{0.5f, 1.5f}));
        EXPECT_NE(runtime.model->threads().at(0), std::this_thread::get_id());
    }
    EXPECT_EQ(runtime.loads.back(), modelPath + " hidden->logits");
}

TEST_F(OracleFixture, CompletesWithNothingOnTheGuiThreadWhenItCannotPredict) {
    struct Case {
        const char* name;
        bool modelFile;
        NeuralModelResult answer;
        int topK;
        std::string log;
    };
    const Case cases[] = {
        {"no model file", false, answerWith({1}), 1, ""},
        {"failing model", true, {NeuralModelResult::Status::failed, {}, "Got invalid dimensions"}, 1,
         "[ANERouterOracle] predict failed: Got invalid dimensions\n"},
        {"no logits output", true, {NeuralModelResult::Status::missingOutput, {}, ""}, 1, ""},
        {"negative topK", true, answerWith({1}), -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ANERouterOracle> oracle;
        if (c.modelFile) {
            oracle = oracleWith(c.answer);
        } else {
            oracle = std::make_unique<ANERouterOracle>(dir.file("absent/router_oracle.onnx"));
            EXPECT_FALSE(oracle->isAvailable());
        }
        test::StderrCapture err;
        Completed completed = predict(*oracle, 1, {1}, c.topK);
        EXPECT_TRUE(completed.onGuiThread);
        EXPECT_FALSE(completed.prediction.has_value());
        EXPECT_EQ(err.text(), c.log);
    }
}

TEST_F(OracleFixture, AModelThatFailsToLoadIsLoggedAndUnavailable) {
    dir.write("Vivirov/router_oracle.onnx", "not a model");
    runtime.loadError = "invalid model";
    test::StderrCapture err;
    ANERouterOracle oracle(modelPath);
    EXPECT_FALSE(oracle.isAvailable());
    EXPECT_EQ(err.text(), "[ANERouterOracle] load failed: invalid model\n");
}

TEST_F(OracleFixture, HorizonEnqueuesTheTopExpertOfEachLayerInAscendingOrder) {
    using Calls = std::vector<std::pair<int32_t, int32_t>>;
    struct Case {
        int32_t startLayer;
        int depth;
        Calls expected;
    };
    const Case cases[] = {
        {10, 3, {{10, 2}, {11, 2}, {12, 2}, {13, 2}}},
        {5, 0, {{5, 2}}},
        {5, -1, {}},
        {INT32_MAX - 1, 1, {{INT32_MAX - 1, 2}, {INT32_MAX, 2}}},
        {INT32_MAX, 1, {}},
    };
    for (const Case& c : cases) {
        auto oracle = oracleWith(answerWith({0.1f, 0.2f, 0.9f, 0.9f}));
        Calls calls;
        bool allOnGuiThread = true;
        oracle->prefetchHorizon(c.startLayer, c.depth, {0.5f}, [&](int32_t layer, int32_t expert) {
            allOnGuiThread = allOnGuiThread && QThread::currentThread() == test::qtApp().thread();
            calls.emplace_back(layer, expert);
        });
        // A prediction queued last completes after every layer of the horizon.
        predict(*oracle, 0, {0.5f}, 1);
        EXPECT_EQ(calls, c.expected) << "depth " << c.depth;
        EXPECT_TRUE(allOnGuiThread);
        EXPECT_EQ(runtime.model->runs(), int(c.expected.size()) + 1);
    }
}

TEST_F(OracleFixture, HorizonWithoutAModelEnqueuesNothing) {
    ANERouterOracle oracle(dir.file("absent.onnx"));
    int calls = 0;
    oracle.prefetchHorizon(0, 3, {1}, [&](int32_t, int32_t) { ++calls; });
    predict(oracle, 0, {1}, 1);
    EXPECT_EQ(calls, 0);
}

} // namespace
} // namespace vivirov
