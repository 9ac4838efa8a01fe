#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "VivirovKit/Support/Clock.h"
#include "VivirovVizivurad/NeuralEngine/ANEDecoderBridge.h"
#include "VivirovVizivurad/NeuralEngine/ANENeuralDecompress.h"
#include "tests/NeuralEngine/FakeNeuralModel.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

namespace vivirov {
namespace {

using test::answerWith;
using test::FakeNeuralModel;
using test::FakeNeuralRuntime;

bool bridge(const float* latent, int32_t zDim, float* out, int32_t outCount) {
    return vivirov_ane_decode_bridge(1, 2, 3, latent, zDim, out, outCount, nullptr);
}

// The bridge always goes through the shared decoder, whose model path comes
// from the data folder when it is first used: point that at a temporary one.
class BridgeFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dataDir = new test::TempDir();
        setenv("XDG_DATA_HOME", dataDir->path().c_str(), 1);
        dataDir->write("Vivirov/expert_decoder.onnx", "model");
    }
    static void TearDownTestSuite() {
        delete dataDir;
        dataDir = nullptr;
    }

    void useModel(NeuralModelResult answer) {
        runtime.model = std::make_shared<FakeNeuralModel>(std::move(answer));
        ANENeuralDecompress::shared().reload();
    }
    // Every decode queued before this call has completed when it returns.
    static void drainDecoderQueue() {
        std::promise<void> drained;
        ANENeuralDecompress::shared().decodeAsync({1}, 1, [&](auto) { drained.set_value(); });
        drained.get_future().wait();
    }

    static inline test::TempDir* dataDir = nullptr;
    FakeNeuralRuntime runtime;
};

TEST_F(BridgeFixture, CopiesTheDecodedBlockAndFailsWithoutAModel) {
    useModel(answerWith({1, 2, 3}));
    EXPECT_EQ(ANENeuralDecompress::shared().modelPath(), dataDir->path() + "/Vivirov/expert_decoder.onnx");
    const float latent[2] = {0.25f, 0.75f};
    float out[5] = {9, 9, 9, 9, 9};
    EXPECT_TRUE(bridge(latent, 2, out, 5));
    EXPECT_EQ(std::vector<float>(out, out + 5), (std::vector<float>{1, 2, 3, 0, 0}));
    EXPECT_EQ(runtime.model->inputs().at(0), (std::vector<float>{0.25f, 0.75f}));

    runtime.loadError = "no model runtime";
    test::StderrCapture err;
    ANENeuralDecompress::shared().reload();
    EXPECT_FALSE(ANENeuralDecompress::shared().isAvailable());
    EXPECT_FALSE(bridge(latent, 2, out, 5));
}

TEST_F(BridgeFixture, RefusesBadArgumentsWithoutQueueingADecode) {
    useModel(answerWith({1}));
    float latent[2] = {1, 2};
    float out[2] = {7, 7};
    struct Case {
        const float* latent;
        int32_t zDim;
        float* out;
        int32_t outCount;
    };
    const Case cases[] = {
        {nullptr, 2, out, 2}, {latent, 2, nullptr, 2}, {latent, 0, out, 2},
        {latent, 2, out, 0},  {latent, -1, out, 2},    {latent, 2, out, -3},
    };
    for (const Case& c : cases) EXPECT_FALSE(bridge(c.latent, c.zDim, c.out, c.outCount));
    drainDecoderQueue();
    EXPECT_EQ(runtime.model->runs(), 1); // only the drain's own decode ran
    EXPECT_EQ(out[0], 7);
}

// After the time-out the decode still finishes; its result must never reach
// the caller's buffer, which may be freed (an address-sanitizer build reports
// any such write) or reused by then.
TEST_F(BridgeFixture, GivesUpAfterFiveSecondsAndNeverWritesLate) {
    for (bool freeTheBuffer : {false, true}) {
        useModel(answerWith({1, 2, 3}));
        runtime.model->closeGate();
        FakeClock clock;
        Clock::setCurrent(&clock);

        const float latent[1] = {1};
        float* out = new float[3]{7, 7, 7};
        auto result = std::async(std::launch::async, [&] { return bridge(latent, 1, out, 3); });
        runtime.model->waitForHeldRun();
        while (clock.sleepers() == 0) std::this_thread::yield();
        clock.advance(uint64_t(std::chrono::nanoseconds(aneDecodeBridgeTimeout).count()));
        EXPECT_FALSE(result.get());
        Clock::setCurrent(nullptr);

        if (freeTheBuffer) delete[] out;
        runtime.model->openGate();
        drainDecoderQueue();
        EXPECT_EQ(runtime.model->runs(), 2);
        if (!freeTheBuffer) {
            EXPECT_EQ(std::vector<float>(out, out + 3), (std::vector<float>{7, 7, 7}));
            delete[] out;
        }
    }
}

TEST(DecoderInstaller, RegistersTheBridgeOnlyWithAHookInTheProcess) {
    // The executable exports its own symbols, so a hook linked into it is found too.
    void* self = dlopen(nullptr, RTLD_LAZY);
    EXPECT_EQ(dlsym(self, "vivirov_ane_decode_bridge"), reinterpret_cast<void*>(&vivirov_ane_decode_bridge));
    ASSERT_EQ(dlsym(self, "ane_cabi_set_decoder"), nullptr);
    {
        test::StderrCapture err;
        vivirov_ane_install_cabi();
        EXPECT_EQ(err.text(), "[ANENeuralDecompress] ane_cabi_set_decoder not linked — SVD/VQ path only\n");
    }

    void* hookLibrary = dlopen(ANE_DECODER_HOOK_MODULE, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(hookLibrary, nullptr) << dlerror();
    {
        test::StderrCapture err;
        vivirov_ane_install_cabi();
        EXPECT_EQ(err.text(), "[ANENeuralDecompress] C-ABI decoder installed\n");
    }
    EXPECT_EQ(*static_cast<int*>(dlsym(hookLibrary, "ane_decoder_hook_calls")), 1);
    EXPECT_EQ(*static_cast<void**>(dlsym(hookLibrary, "ane_decoder_hook_decoder")),
              reinterpret_cast<void*>(&vivirov_ane_decode_bridge));
    EXPECT_EQ(*static_cast<void**>(dlsym(hookLibrary, "ane_decoder_hook_context")), nullptr);
    dlclose(self);
}

} // namespace
} // namespace vivirov
