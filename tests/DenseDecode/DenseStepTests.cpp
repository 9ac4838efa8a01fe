// The dense decode steps on small Qwen2-shaped models: CPU and GPU steps
// against the double-precision reference per weight type, sequences kept
// apart by agent and slot, a retired agent's rows never read again, and the
// steps' edge cases.
#include "DenseFixture.h"
#include "engine/vm_cabi_v2/dequant.h"
#include "engine/vm_v2/dkv_hash_table.h"
#include "tests/support/ChildTest.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/StderrCapture.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

using namespace densetest;
using vivirov::test::ScopedEnv;
using vivirov::test::StderrCapture;


namespace {

// Every engine here may use the software Vulkan device.
const bool g_env = [] {
    setenv("VIVIROV_GPU_ALLOW_CPU", "1", 0);
    setenv("LP_NUM_THREADS", "0", 0);
    return true;
}();

const std::vector<int> kPrompt = {256, 300, 17, 42, 99};

struct TypeCase {
    const char* name;
    uint32_t type;
    double tol;
};
const TypeCase kTypes[] = {
    {"Q8_0", GGUFWriter::GQ8_0, 2e-3},
    {"Q4_K", GGUFWriter::GQ4_K, 2e-3},
    {"Q6_K", GGUFWriter::GQ6_K, 2e-3},
};

} // namespace

TEST(DenseDecode, CpuStepFollowsTheReferenceForEveryWeightType) {
    TempDir dir;
    std::vector<TypeCase> cases(std::begin(kTypes), std::end(kTypes));
    cases.push_back({"F32", GGUFWriter::GF32, 1e-4});
    ScopedEnv cpu("VM_NO_FUSE", "1");
    for (const TypeCase& c : cases) {
        QwenModel m(shapeOf(c.type));
        VMEngineV2 e(writeModel(dir, m, std::string(c.name) + ".gguf").c_str());
        ASSERT_FALSE(e.fused_) << c.name;
        expectReference(m, decode(e, Step::Cpu, 7, kPrompt, 6), c.tol, c.name);
    }
}

// Over a long sequence the step shares attention heads and row gathering out
// to the pool; the tokens and logits stay the reference's.
TEST(DenseDecode, CpuStepFollowsTheReferenceOverALongSequence) {
    TempDir dir;
    ScopedEnv cpu("VM_NO_FUSE", "1");
    QwenModel m(shapeOf(GGUFWriter::GQ8_0));
    VMEngineV2 e(writeModel(dir, m, "long.gguf").c_str());
    expectReference(m, decode(e, Step::Cpu, 7, kPrompt, 70), 2e-3, "long Q8_0");
}

TEST(DenseDecode, GpuStepFollowsTheReferenceInOneSubmissionPerToken) {
    ASSERT_EQ(vm_gpu_bridge_init(), 1) << "the tests run on the software Vulkan device";
    TempDir dir;
    for (const TypeCase& c : kTypes) {
        QwenModel m(shapeOf(c.type));
        VMEngineV2 e(writeModel(dir, m, std::string(c.name) + ".gguf").c_str());
        ASSERT_TRUE(e.fused_) << c.name;
        expectReference(m, decode(e, Step::Gpu, 7, kPrompt, 6, 3), c.tol, std::string("GPU ") + c.name);
        // The CPU step of a fused engine runs its products through the bridge.
        expectReference(m, decode(e, Step::Cpu, 8, kPrompt, 3), c.tol, std::string("bridge CPU ") + c.name);
    }
}

// Two sequences fed in turn, token by token: each must see only its own keys
// and values (different agents on the CPU path, different slots on the GPU).
TEST(DenseDecode, InterleavedSequencesKeepTheirOwnRows) {
    TempDir dir;
    QwenModel m(shapeOf(GGUFWriter::GQ8_0));
    VMEngineV2 e(writeModel(dir, m, "m.gguf").c_str());
    const std::vector<int> a = {5, 6, 7, 8, 9, 10}, b = {200, 150, 3, 77, 1, 2};
    for (Step how : {Step::Cpu, Step::Gpu}) {
        if (how == Step::Gpu && !e.fused_) continue;
        VMEngineV2::ActiveSequence sa, sb;
        sa.agent_id = 1, sb.agent_id = 2;
        if (how == Step::Gpu) sa.gpu_slot = 0, sb.gpu_slot = 1;
        std::vector<int> outA, outB;
        for (size_t i = 0; i < a.size(); ++i) {
            sa.token = a[i], sb.token = b[i];
            outA.push_back(how == Step::Cpu ? e.forward_one_cpu(sa) : e.forward_one_gpu(sa));
            outB.push_back(how == Step::Cpu ? e.forward_one_cpu(sb) : e.forward_one_gpu(sb));
            sa.pos++, sb.pos++;
        }
        auto argmaxes = [&](const std::vector<int>& ids) {
            std::vector<int> out;
            for (const auto& row : m.referenceLogits(ids))
                out.push_back(int(std::max_element(row.begin(), row.end()) - row.begin()));
            return out;
        };
        EXPECT_EQ(outA, argmaxes(a)) << (how == Step::Cpu ? "CPU" : "GPU");
        EXPECT_EQ(outB, argmaxes(b)) << (how == Step::Cpu ? "CPU" : "GPU");
        e.kv_forget_(1, int32_t(a.size()));
        e.kv_forget_(2, int32_t(b.size()));
    }
}

// A finished request's rows are removed; the agent's next request at the same
// positions must compute with its own keys, not read the old ones.
TEST(DenseDecode, RetiredRowsNeverReachTheAgentsNextRequest) {
    TempDir dir;
    ScopedEnv cpu("VM_NO_FUSE", "1");
    QwenModel m(shapeOf(GGUFWriter::GQ8_0));
    VMEngineV2 e(writeModel(dir, m, "m.gguf").c_str());
    Decoded first = decode(e, Step::Cpu, 42, {1, 2, 3, 4}, 4);
    e.kv_forget_(42, int32_t(first.ids.size()));
    EXPECT_EQ(e.kv_->live(), 0u);
    expectReference(m, decode(e, Step::Cpu, 42, {250, 251, 252, 253}, 4), 2e-3, "second request");
}

TEST(DenseDecode, GpuSlotEndsAt128PositionsAndBillmFallsBack) {
    TempDir dir;
    QwenModel m(shapeOf(GGUFWriter::GQ8_0));
    VMEngineV2 e(writeModel(dir, m, "m.gguf").c_str());
    if (!e.fused_) GTEST_SKIP() << "no fused path";
    VMEngineV2::ActiveSequence seq;
    seq.gpu_slot = 2;
    seq.token = 9;
    seq.pos = 127;
    EXPECT_NO_THROW(e.forward_one_gpu(seq)) << "row 127 is the slot's last";
    seq.pos = 128;
    EXPECT_THROW(e.forward_one_gpu(seq), std::length_error);

    // 1.08-bit layers missing for some layers: the plain GPU step's token.
    seq.pos = 0;
    e.billm_ = true;
    e.billm_layers_.resize(1);
    const int32_t billm = e.forward_one_gpu_billm(seq);
    EXPECT_EQ(billm, e.forward_one_gpu(seq));
    e.billm_layers_.clear();
    e.billm_ = false;
}

TEST(DenseDecode, GpuProductsRefuseWhatTheyCannotEncode) {
    TempDir dir;
    QwenModel m(shapeOf(GGUFWriter::GQ8_0));
    VMEngineV2 e(writeModel(dir, m, "m.gguf").c_str());
    if (!e.fused_) GTEST_SKIP() << "no fused path";
    const GGUFTensor* norm = e.gguf_->find("output_norm.weight");
    const GGUFTensor* f32_matrix = e.tok_embd_;
    struct Case {
        const GGUFTensor* w;
        const char* text;
    } cases[] = {
        {nullptr, "VMEngineV2::fmm: null weight tensor"},
        {norm, "VMEngineV2::fmm: weight tensor is not a matrix (dims < 2)"},
        {f32_matrix, "VMEngineV2::fmm: no GPU product for weight type 0"},
    };
    for (const Case& c : cases) {
        vmb_command_buffer_begin();
        try {
            e.fmm(c.w, e.g_xn_, 0, e.g_q_, 0);
            ADD_FAILURE() << c.text;
        } catch (const std::runtime_error& err) {
            EXPECT_STREQ(err.what(), c.text);
        }
        vmb_command_buffer_commit_and_wait();
    }
}

// A matrix the GPU cannot multiply would leave a stale product behind: such a
// model is refused on the fused path and runs only with VM_NO_FUSE.
TEST(DenseDecode, FusedPathRefusesMatricesWithoutAGpuProduct) {
    ASSERT_EQ(vm_gpu_bridge_init(), 1);
    TempDir dir;
    QwenModel m(shapeOf(GGUFWriter::GF32));
    const std::string path = writeModel(dir, m, "f32.gguf");
    {
        StderrCapture err;
        EXPECT_THROW(VMEngineV2 e(path.c_str()), std::runtime_error);
        EXPECT_NE(err.text().find("[vm_v2] fused path has no GPU product for blk.0.attn_q.weight (type 0)\n"),
                  std::string::npos)
            << err.text();
    }
    ScopedEnv cpu("VM_NO_FUSE", "1");
    VMEngineV2 e(path.c_str());
    EXPECT_FALSE(e.fused_);
}

TEST(DenseDecode, UnsupportedOutputTypeLogsAndGivesTokenZero) {
    TempDir dir;
    ScopedEnv cpu("VM_NO_FUSE", "1");
    QwenModel m(shapeOf(GGUFWriter::GQ8_0));
    VMEngineV2 e(writeModel(dir, m, "f16out.gguf", {{"output.weight", GGUFWriter::GF16}}).c_str());
    VMEngineV2::ActiveSequence seq;
    seq.token = 12;
    StderrCapture err;
    EXPECT_EQ(e.forward_one_cpu(seq), 0);
    EXPECT_NE(err.text().find("[qwen] matmul FAILED type=1 M=320 K=256\n"), std::string::npos) << err.text();
    e.kv_forget_(0, 1);
}

TEST(DenseDecode, EmbedReadsOnlyRowsOfTheEmbedding) {
    TempDir dir;
    ScopedEnv cpu("VM_NO_FUSE", "1");
    QwenShape s = shapeOf(GGUFWriter::GQ8_0);
    s.embdType = GGUFWriter::GQ8_0;
    QwenModel m(s);
    VMEngineV2 e(writeModel(dir, m, "m.gguf").c_str());
    std::vector<float> row(256, 1.0f);
    for (int bad : {-1, 320, 1 << 30}) {
        e.embed(bad, row.data());
        EXPECT_EQ(*std::max_element(row.begin(), row.end()), 0.0f) << bad;
        EXPECT_EQ(*std::min_element(row.begin(), row.end()), 0.0f) << bad;
    }
    e.embed(319, row.data());
    const auto seen = m.seen(m.embd, GGUFWriter::GQ8_0);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(row[size_t(i)], float(seen[size_t(319 * 256 + i)])) << i;
}

// Without any Vulkan device the CPU step's products run on the CPU kernels.
TEST(DenseDecode, NoVulkanDeviceStillDecodes) {
    if (!vivirov::test::isChildTest("DenseDecode.NoVulkanDeviceStillDecodes")) {
        auto r = vivirov::test::runChildTest("DenseDecode.NoVulkanDeviceStillDecodes",
                                             {{"VIVIROV_GPU_ALLOW_CPU", "0"}});
        EXPECT_EQ(r.exitStatus, 0) << r.stdoutData << r.stderrData;
        EXPECT_EQ(r.stderrData.find("matmul FAILED"), std::string::npos) << r.stderrData;
        return;
    }
    ASSERT_EQ(vm_gpu_bridge_init(), 0);
    TempDir dir;
    QwenModel m(shapeOf(GGUFWriter::GQ8_0));
    VMEngineV2 e(writeModel(dir, m, "m.gguf").c_str());
    EXPECT_FALSE(e.fused_);
    expectReference(m, decode(e, Step::Cpu, 3, kPrompt, 4), 2e-3, "no device");
}
