// Building the engine from Qwen2-style files: hyperparameter defaults, the
// fused-path decision on the software Vulkan device, the CPU route with
// VM_NO_FUSE or without any Vulkan device, tied embeddings, GPU slots.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/EngineV2/EngineV2Harness.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/ChildTest.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;

namespace {

// The software Vulkan device serves as the GPU in these tests; set before
// the bridge's one initialisation in this process.
const bool kSoftwareGpu = [] {
    setenv("VIVIROV_GPU_ALLOW_CPU", "1", 0);
    return true;
}();

// Head width 64 (256 wide, 4 heads): the widest the fused path takes; Q8_0
// matrices, a type the GPU products have.
QwenShape headWidth64() {
    QwenShape s;
    s.hidden = 256;
    s.heads = 4;
    s.kvHeads = 2;
    s.ff = 128;
    s.type = GGUFWriter::GQ8_0;
    return s;
}

GGUFWriter qwenWriter(const QwenModel& m, const std::set<std::string>& skip = {}, bool keys = true) {
    return m.writer(skip, {}, keys);
}

struct Built {
    EngineWrapper* w = nullptr;
    std::string log;
    std::string error;
    ~Built() { vivirov_vm_v2_destroy(w); }
};

void build(Built& b, const std::string& path) {
    StderrCapture err;
    b.w = vivirov_vm_v2_create(path.c_str());
    b.log = err.text();
    char text[128];
    vivirov_vm_v2_last_create_error(text, sizeof text);
    b.error = text;
}

TEST(EngineV2Construction, HeadWidth64IsFusedAndTheFirstRequestGetsSlotZero) {
    ASSERT_TRUE(kSoftwareGpu);
    TempDir dir;
    QwenModel model(headWidth64());
    Built b;
    build(b, qwenWriter(model).write(dir.file("q.gguf")));
    ASSERT_NE(b.w, nullptr) << b.log;
    auto& e = b.w->engine;
    EXPECT_TRUE(e.fused_);
    EXPECT_EQ(e.head_dim_, 64);
    EXPECT_EQ(e.kv_dim_, 128);
    EXPECT_EQ(e.n_vocab_, 320);
    {
        std::lock_guard lock(e.dense_mu_);
        EXPECT_EQ(e.free_slots_.size(), 64u);
    }

    // The decode step is replaced; the test sees which slot the pump gave.
    struct Slots {
        std::mutex mu;
        std::vector<int32_t> seen;
        static int32_t step(void* ctx, vivirov::VMEngineV2::ActiveSequence& s) {
            auto* self = static_cast<Slots*>(ctx);
            std::lock_guard lock(self->mu);
            self->seen.push_back(s.gpu_slot);
            return 1;
        }
    } slots;
    e.set_step_hook_for_testing(&Slots::step, &slots);
    Recorder rec;
    const uint32_t id = 3;
    ASSERT_EQ(vivirov_vm_v2_infer_async(b.w, 1, &id, 1, &Recorder::hook, rec.request(1)), 1);
    ASSERT_TRUE(rec.waitForFinals(1));
    {
        std::lock_guard lock(slots.mu);
        EXPECT_EQ(slots.seen.front(), 0);
    }
    // The finished request gave its slot back.
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(e.dense_mu_);
        return e.free_slots_.size() == 64;
    }));
}

TEST(EngineV2Construction, ReplacedPausedRequestGivesItsSlotBack) {
    TempDir dir;
    QwenModel model(headWidth64());
    Built b;
    build(b, qwenWriter(model).write(dir.file("q.gguf")));
    ASSERT_NE(b.w, nullptr) << b.log;
    StepGate gate(b.w);
    gate.answer(1);
    gate.close();
    Recorder rec;
    const uint32_t id = 3;
    ASSERT_EQ(vivirov_vm_v2_infer_async(b.w, 100, &id, 1, &Recorder::hook, rec.request(100)), 1);
    ASSERT_TRUE(gate.waitForWaiter());
    ASSERT_EQ(vivirov_vm_v2_infer_async(b.w, 7, &id, 1, &Recorder::hook, rec.request(1)), 1);
    ASSERT_EQ(vivirov_vm_v2_infer_async(b.w, 7, &id, 1, &Recorder::hook, rec.request(2)), 1);
    ASSERT_EQ(vivirov_vm_v2_pause(b.w, 7), 1);
    ASSERT_EQ(vivirov_vm_v2_pause(b.w, 7), 1);
    gate.open();
    ASSERT_TRUE(rec.waitForFinals(3));
    // Slot 0 runs agent 100 (now finished); of the two paused requests only
    // the one still in the paused table keeps a slot.
    auto& e = b.w->engine;
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(e.dense_mu_);
        return e.free_slots_.size() == 63;
    }));
}

TEST(EngineV2Construction, DenseFilesAcrossTheFusedPathRules) {
    TempDir dir;
    QwenShape wide = headWidth64();
    wide.heads = 2; // head width 128
    struct Case {
        const char* name;
        QwenShape shape;
        bool noFuse;
        bool keys;
        bool built;
        bool fused;
        int layers, embd, heads, kvHeads, ff, headDim, kvDim;
    };
    const Case cases[] = {
        {"head width 128 is refused", wide, false, true, false, false},
        {"head width 128 with VM_NO_FUSE runs on the CPU path", wide, true, true, true, false, 2, 256, 2, 2, 128,
         128, 256},
        {"no qwen2 keys take the defaults", headWidth64(), true, false, true, false, 24, 896, 14, 2, 4864, 64, 128},
        {"VM_NO_FUSE turns the fused path off", headWidth64(), true, true, true, false, 2, 256, 4, 2, 128, 64, 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv env("VM_NO_FUSE", c.noFuse ? std::optional<std::string>("1") : std::nullopt);
        QwenModel model(c.shape);
        Built b;
        build(b, qwenWriter(model, {}, c.keys).write(dir.file(std::string(c.name) + ".gguf")));
        ASSERT_EQ(b.w != nullptr, c.built) << b.log;
        if (!c.built) {
            EXPECT_EQ(b.error, "VMEngineV2: fused path unavailable");
            EXPECT_NE(b.log.find("[vm_v2] fused path unavailable — TPS would collapse (fusion_pipelines=1 "
                                 "mmap_bound=1 head_dim=128) — degrading to scaffold"),
                      std::string::npos)
                << b.log;
            EXPECT_NE(b.log.find("[vm_v2] engine construction failed (VMEngineV2: fused path unavailable) — "
                                 "caller falls back to scaffold"),
                      std::string::npos);
            continue;
        }
        const auto& e = b.w->engine;
        EXPECT_EQ(e.fused_, c.fused);
        EXPECT_TRUE(e.free_slots_.empty());
        EXPECT_EQ(e.n_layers_, c.layers);
        EXPECT_EQ(e.n_embd_, c.embd);
        EXPECT_EQ(e.n_head_, c.heads);
        EXPECT_EQ(e.n_head_kv_, c.kvHeads);
        EXPECT_EQ(e.n_ff_, c.ff);
        EXPECT_EQ(e.head_dim_, c.headDim);
        EXPECT_EQ(e.kv_dim_, c.kvDim);
        EXPECT_EQ(e.get_kv_dim(), c.kvDim);
    }
}

TEST(EngineV2Construction, ZeroDeepSeekBlockCountIsDenseAndMissingOutputTiesTheEmbedding) {
    TempDir dir;
    QwenModel model(headWidth64());
    Built b;
    build(b, qwenWriter(model, {"output.weight"}).u32("deepseek4.block_count", 0).write(dir.file("tied.gguf")));
    ASSERT_NE(b.w, nullptr) << b.log;
    const auto& e = b.w->engine;
    EXPECT_FALSE(e.is_zov4_);
    EXPECT_TRUE(e.fused_);
    EXPECT_EQ(e.output_, e.tok_embd_);
    const std::string tied = "[vm_v2] output.weight absent — tied embeddings: logits reuse token_embd";
    const size_t at = b.log.find(tied);
    ASSERT_NE(at, std::string::npos) << b.log;
    EXPECT_EQ(b.log.find(tied, at + 1), std::string::npos);
}

TEST(EngineV2Construction, FreeingGpuBuffersTwiceIsHarmless) {
    TempDir dir;
    QwenModel model(headWidth64());
    const std::string path = qwenWriter(model).write(dir.file("q.gguf"));
    auto e = std::make_unique<vivirov::VMEngineV2>(path.c_str()); // no threads started
    ASSERT_TRUE(e->fused_);
    e->free_gpu_buffers();
    e->free_gpu_buffers();
    EXPECT_EQ(e->g_kcache_, nullptr);
    EXPECT_EQ(e->x_host_, nullptr);
    EXPECT_TRUE(e->free_slots_.empty());
}

TEST(EngineV2Construction, TokenizerFromTheModelFileEncodesWithCapacity) {
    TempDir dir;
    QwenModel model(headWidth64());
    Built b;
    build(b, qwenWriter(model).write(dir.file("q.gguf")));
    ASSERT_NE(b.w, nullptr);
    uint32_t all[32];
    const int32_t n = vivirov_vm_v2_encode(b.w, "hello world the user", all, 32);
    ASSERT_GE(n, 4);
    uint32_t three[3];
    EXPECT_EQ(vivirov_vm_v2_encode(b.w, "hello world the user", three, 3), 3);
    EXPECT_TRUE(std::equal(three, three + 3, all));
    EXPECT_EQ(vivirov_vm_v2_encode(b.w, "hello", three, 0), -1);
    EXPECT_EQ(vivirov_vm_v2_encode(b.w, "", all, 32), 0);
}

TEST(EngineV2Construction, MissingTokenizerAndUnreadableFilesAreReported) {
    TempDir dir;
    {
        ScopedEnv env("VM_NO_FUSE", "1");
        Built noTokens;
        build(noTokens, GGUFWriter().u32("qwen2.block_count", 1).write(dir.file("bare.gguf")));
        ASSERT_NE(noTokens.w, nullptr) << noTokens.log;
        EXPECT_NE(noTokens.log.find("[vm_v2] GGUF '" + dir.file("bare.gguf") +
                                    "' has no tokenizer.ggml.tokens — decimal fallback"),
                  std::string::npos)
            << noTokens.log;
        uint32_t out[4];
        EXPECT_EQ(vivirov_vm_v2_encode(noTokens.w, "hello", out, 4), -1);
    }
    Built broken;
    build(broken, dir.write("broken.gguf", "GGUF"));
    EXPECT_EQ(broken.w, nullptr);
    EXPECT_EQ(broken.error.rfind("GGUF: ", 0), 0u) << broken.error;
    EXPECT_NE(broken.log.find("[vm_v2] engine construction failed (GGUF: "), std::string::npos);
}

TEST(EngineV2Construction, WithoutAnyVulkanDeviceADenseModelRunsOnTheCpuPath) {
    TempDir dir;
    QwenModel model(headWidth64());
    const std::string path = qwenWriter(model).write(dir.file("q.gguf"));
    auto r = runChildTest("EngineV2ConstructionChild.NoVulkanDevice",
                          {{"VK_ICD_FILENAMES", "/nonexistent/icd.json"}, {"ENGINEV2_MODEL", path}}, {"VM_NO_FUSE"});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitStatus, 0) << r.stdoutData << r.stderrData;
    EXPECT_NE(r.stderrData.find("[vm_v2] no Vulkan device — dense model runs on the CPU path"), std::string::npos)
        << r.stderrData;
}

TEST(EngineV2ConstructionChild, NoVulkanDevice) {
    if (!isChildTest("EngineV2ConstructionChild.NoVulkanDevice")) GTEST_SKIP() << "runs in a child process";
    EngineWrapper* w = vivirov_vm_v2_create(std::getenv("ENGINEV2_MODEL"));
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(w->engine.fused_);
    EXPECT_EQ(w->engine.model_buf_, nullptr);
    vivirov_vm_v2_destroy(w);
}

} // namespace
