#include <gtest/gtest.h>

#include "VivirovKit/Support/ProcessRunner.h"
#include "VivirovVizivurad/NeuralEngine/ANENeuralDecompress.h"
#include "VivirovVizivurad/NeuralEngine/ANERouterOracle.h"
#include "VivirovVizivurad/NeuralEngine/OnnxModelRuntime.h"
#include "tests/support/QtHarness.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

namespace vivirov {
namespace {

// Writes tiny models with the onnx package: a decoder that doubles its
// latent, a router whose logits are its hidden state, and a model whose
// names fit neither (input "x", output "logits").
constexpr const char* modelWriter = R"(
import sys
from onnx import TensorProto, helper, save

def write(path, input_name, output_name, node, initializers=[]):
    graph = helper.make_graph(
        [node], "tiny",
        [helper.make_tensor_value_info(input_name, TensorProto.FLOAT, [1, "n"])],
        [helper.make_tensor_value_info(output_name, TensorProto.FLOAT, [1, "n"])],
        initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    save(model, path)

folder = sys.argv[1]
write(folder + "/decoder.onnx", "latent", "weights", helper.make_node("Mul", ["latent", "two"], ["weights"]),
      [helper.make_tensor("two", TensorProto.FLOAT, [], [2.0])])
write(folder + "/router.onnx", "hidden", "logits", helper.make_node("Identity", ["hidden"], ["logits"]))
write(folder + "/mismatched.onnx", "x", "logits", helper.make_node("Identity", ["x"], ["logits"]))
)";

TEST(OnnxModelRuntime, WithoutTheRuntimeAPresentModelFailsToLoadWithTheReason) {
    if (OnnxModelRuntime::isBuiltIn()) GTEST_SKIP() << "this build has ONNX Runtime";
    EXPECT_FALSE(OnnxModelRuntime::shared().isAvailable());
    EXPECT_EQ(OnnxModelRuntime::shared().unavailableReason(), "no model runtime: built without ONNX Runtime");
    test::TempDir dir;
    test::StderrCapture err;
    ANENeuralDecompress decoder(dir.write("expert_decoder.onnx", "model"));
    EXPECT_FALSE(decoder.isAvailable());
    EXPECT_EQ(err.text(), "[ANENeuralDecompress] load failed: no model runtime: built without ONNX Runtime\n");
}

TEST(OnnxModelRuntime, RunsModelsWrittenByTheOnnxPackage) {
    if (!OnnxModelRuntime::isBuiltIn()) GTEST_SKIP() << "this build has no ONNX Runtime";
    ASSERT_TRUE(OnnxModelRuntime::shared().isAvailable()) << OnnxModelRuntime::shared().unavailableReason();
    test::TempDir dir;
    ProcessRequest request;
    request.program = ProgramPaths::path("python3");
    request.arguments = {"-c", modelWriter, dir.path()};
    ProcessRunResult written = ProcessRunner::run(request);
    ASSERT_TRUE(written.succeeded()) << written.startError << written.stderrData;

    const std::vector<float> latent = {1, -2, 3};
    std::vector<float> out(4, 9);
    ANENeuralDecompress decoder(dir.file("decoder.onnx"));
    ASSERT_TRUE(decoder.isAvailable());
    EXPECT_TRUE(decoder.decodeInto(latent.data(), 3, out.data(), 4));
    EXPECT_EQ(out, (std::vector<float>{2, -4, 6, 0}));

    // No "weights" output: the decode fails.
    ANENeuralDecompress mismatchedDecoder(dir.file("mismatched.onnx"));
    ASSERT_TRUE(mismatchedDecoder.isAvailable());
    EXPECT_FALSE(mismatchedDecoder.decodeInto(latent.data(), 3, out.data(), 4));

    test::qtApp();
    ANERouterOracle router(dir.file("router.onnx"));
    std::optional<ANEExpertPrediction> prediction;
    bool done = false;
    router.predictAsync(4, {0.1f, 0.9f, 0.9f, 0.3f}, 2, [&](auto p) {
        prediction = std::move(p);
        done = true;
    });
    ASSERT_TRUE(test::qtWaitUntil([&] { return done; }));
    ASSERT_TRUE(prediction.has_value());
    EXPECT_EQ(prediction->expertIds, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(prediction->scores, (std::vector<float>{0.9f, 0.9f}));

    // No "hidden" input: the run itself fails.
    test::StderrCapture err;
    ANERouterOracle wrongModel(dir.file("mismatched.onnx"));
    done = false;
    wrongModel.predictAsync(0, {1}, 1, [&](auto p) {
        prediction = std::move(p);
        done = true;
    });
    ASSERT_TRUE(test::qtWaitUntil([&] { return done; }));
    EXPECT_FALSE(prediction.has_value());
    EXPECT_EQ(err.text().rfind("[ANERouterOracle] predict failed: ", 0), 0u) << err.text();

    ANENeuralDecompress corrupt(dir.write("corrupt.onnx", "not a model"));
    EXPECT_FALSE(corrupt.isAvailable());
    EXPECT_NE(err.text().find("[ANENeuralDecompress] load failed: "), std::string::npos);
}

} // namespace
} // namespace vivirov
