// The forward object opens the tiny DeepSeek-V4 model in every variant,
// reads its hyperparameters, finds its weights, and refuses files it could
// not run with a clear error before any step.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "tests/ZOV4Forward/ForwardTestSupport.h"
#include "tests/support/ChildTest.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;
using vm::zov4::ModelError;
using vm::zov4::ZOV4Forward;

namespace {

int count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::string writeModel(const TempDir& dir, const std::string& stem, const DeepSeekV4Options& o) {
    return writeDeepSeekV4Model(dir.path(), stem, o).path();
}

} // namespace

TEST(ZOV4Construction, EveryVariantOpensWithItsHyperparametersAndTheCoreOnlyLineOnce) {
    for (int shards : {1, 3})
        for (bool experts : {false, true}) {
            SCOPED_TRACE(std::to_string(shards) + (experts ? " shards, experts" : " shards, core-only"));
            DeepSeekV4Options o;
            o.shards = shards;
            o.withExperts = experts;
            const DeepSeekV4Model& m =
                sharedDeepSeekV4Model("v" + std::to_string(shards) + (experts ? "e" : "c"), o);
            std::unique_ptr<ZOV4Forward> f;
            std::string log;
            {
                StderrCapture capture;
                f = cpuForward(m.path());
                log = capture.text();
            }
            EXPECT_EQ(count(log, "[ZOV4] CORE-ONLY mode: fused expert tensors absent from GGUF"), experts ? 0 : 1)
                << log;
            EXPECT_EQ(f->core_only, !experts);
            EXPECT_EQ(f->model.shards.size(), size_t(shards));

            const DeepSeekV4Shape s;
            EXPECT_EQ(f->n_layer, s.nLayer);
            EXPECT_EQ(f->n_embd, s.nEmbd);
            EXPECT_EQ(f->n_hc, s.nHc);
            EXPECT_EQ(f->n_head, s.nHead);
            EXPECT_EQ(f->head_dim, s.headDim);
            EXPECT_EQ(f->v_dim, s.headDim);
            EXPECT_EQ(f->n_rot, s.nRot);
            EXPECT_EQ(f->q_rank, s.qRank);
            EXPECT_EQ(f->o_rank, s.oRank);
            EXPECT_EQ(f->o_groups, s.oGroups);
            EXPECT_EQ(f->ix_heads, s.ixHeads);
            EXPECT_EQ(f->ix_dim, s.ixDim);
            EXPECT_EQ(f->ix_top_k, s.ixTopK);
            EXPECT_EQ(f->sliding_window, 128);
            EXPECT_EQ(f->n_expert, s.nExpert);
            EXPECT_EQ(f->n_expert_used, s.nExpertUsed);
            EXPECT_EQ(f->n_ff_exp, s.nFfExp);
            EXPECT_EQ(f->n_ff_shexp, s.nFfExp);
            EXPECT_EQ(f->n_vocab, s.nVocab);
            EXPECT_EQ(f->n_hash_layers, s.nHashLayers);
            EXPECT_EQ(f->n_ctx_orig, 4096);
            EXPECT_FLOAT_EQ(f->rms_eps, s.rmsEps);
            EXPECT_FLOAT_EQ(f->rope_base, 10000.0f);
            EXPECT_EQ(f->freq_scale, 0.25f); // factor 4
            EXPECT_FLOAT_EQ(f->yarn_beta_fast, 32.0f);
            EXPECT_FLOAT_EQ(f->hc_eps, 1e-6f);
            EXPECT_FLOAT_EQ(f->expert_weights_scale, 2.5f);
            EXPECT_TRUE(f->expert_weights_norm);
            EXPECT_EQ(f->compress_ratio, (std::vector<int32_t>{0, 0, 4, 128}));
            EXPECT_EQ(f->act_clamp, std::vector<float>(4, 10.0f));
            EXPECT_EQ(f->caches.size(), 4u);
            EXPECT_EQ(f->last_experts.size(), 4u);
            EXPECT_EQ(f->n_past, 0);
            EXPECT_GE(f->n_threads, 1);
            ASSERT_NE(f->uvm, nullptr);
            ASSERT_NE(f->vezev_ring, nullptr);
        }
}

TEST(ZOV4Construction, DerivedHyperparametersFollowTheirKeys) {
    struct Case {
        const char* key;
        std::optional<double> value;
        float freqScale;
        int shexpFactor;
    };
    const Case cases[] = {
        {"rope.scaling.factor", std::nullopt, 1.0f, 1},
        {"rope.scaling.factor", 0.0, 1.0f, 1},
        {"rope.scaling.factor", -1.0, 1.0f, 1},
        {"rope.scaling.factor", 4.0, 0.25f, 1},
        {"expert_shared_count", std::nullopt, 0.25f, 1},
        {"expert_shared_count", 0.0, 0.25f, 1},
        {"expert_shared_count", 1.0, 0.25f, 1},
        {"expert_shared_count", 2.0, 0.25f, 2},
    };
    TempDir dir;
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + (c.value ? " = " + std::to_string(*c.value) : " absent"));
        DeepSeekV4Options o;
        o.metadata[c.key] = c.value;
        o.shape.sharedCount = c.shexpFactor; // the shared experts' width follows the count
        const auto f = cpuForward(writeModel(dir, "h" + std::to_string(i++), o));
        EXPECT_EQ(f->freq_scale, c.freqScale);
        EXPECT_EQ(f->n_ff_shexp, f->n_ff_exp * c.shexpFactor);
    }
}

TEST(ZOV4Construction, FortyThreeLayersAlternateTheirCompressionRatios) {
    DeepSeekV4Options o;
    o.withExperts = false;
    o.shape.nLayer = 43;
    o.shape.nVocab = 64;
    TempDir dir;
    const auto f = cpuForward(writeModel(dir, "deep", o));
    ASSERT_EQ(f->compress_ratio.size(), 43u);
    EXPECT_EQ(f->compress_ratio[0], 0);
    EXPECT_EQ(f->compress_ratio[1], 0);
    for (int il = 2; il < 43; ++il) EXPECT_EQ(f->compress_ratio[size_t(il)], il % 2 == 0 ? 4 : 128) << il;
    EXPECT_EQ(f->compress_ratio[42], 4);
    EXPECT_EQ(f->caches.size(), 43u);
}

TEST(ZOV4Construction, LookupsReportOnlyRequiredTensorsThatAreMissing) {
    const auto f = cpuForward(sharedDeepSeekV4Model("base").path());
    StderrCapture capture;
    EXPECT_EQ(f->wl_opt(7, "attn_q_a.weight"), nullptr);
    EXPECT_FALSE(f->has(7, "attn_q_a.weight"));
    EXPECT_TRUE(f->has(2, "attn_q_a.weight"));
    EXPECT_EQ(f->wl(2, "attn_q_a.weight"), f->model.find("blk.2.attn_q_a.weight"));
    EXPECT_EQ(capture.text(), "");
    EXPECT_THROW(f->wl(7, "attn_q_a.weight"), ModelError);
    EXPECT_EQ(capture.text(), "MISSING TENSOR: blk.7.attn_q_a.weight\n");
}

TEST(ZOV4Construction, MetadataReadsNumbersUnderTheArchitecturePrefixOnly) {
    DeepSeekV4Options o;
    o.metadataText["rope.scaling.type"] = "yarn";
    TempDir dir;
    const auto f = cpuForward(writeModel(dir, "text", o));
    EXPECT_EQ(f->M("rope.scaling.type"), 0.0);
    EXPECT_EQ(f->M("no.such.key"), 0.0);
    EXPECT_EQ(f->M("block_count"), 4.0);
    EXPECT_EQ(f->M("deepseek4.block_count"), 0.0);
}

TEST(ZOV4Construction, RefusesModelsThePassCannotRun) {
    struct Case {
        const char* what;
        std::map<std::string, std::optional<double>> metadata;
        std::set<std::string> omit;
        const char* message;
    };
    const Case cases[] = {
        {"no output groups", {{"attention.output_group_count", std::nullopt}}, {}, "output_group_count"},
        {"groups not dividing the heads", {{"attention.output_group_count", 3}}, {}, "output_group_count"},
        {"no heads", {{"attention.head_count", 0}}, {}, "head_count"},
        {"too many streams", {{"hyper_connection.count", 17}}, {}, "hyper_connection.count"},
        {"odd rotary width", {{"rope.dimension_count", 63}}, {}, "rope.dimension_count"},
        {"rotary wider than a row", {{"rope.dimension_count", 130}}, {}, "rope.dimension_count"},
        {"value width unlike key width", {{"attention.value_length", 64}}, {}, "value_length"},
        {"no layers", {{"block_count", std::nullopt}}, {}, "block_count"},
        {"missing tensor", {}, {"blk.3.attn_kv.weight"}, "MISSING TENSOR: blk.3.attn_kv.weight"},
        {"missing head", {}, {"output.weight"}, "MISSING TENSOR: output.weight"},
        {"wrong shape", {{"attention.q_lora_rank", 32}}, {}, "attn_q_a.weight has the wrong shape"},
    };
    TempDir dir;
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeepSeekV4Options o;
        o.withExperts = false;
        o.metadata = c.metadata;
        o.omitTensors = c.omit;
        const std::string path = writeModel(dir, "bad" + std::to_string(i++), o);
        StderrCapture capture;
        try {
            ZOV4Forward f(path);
            ADD_FAILURE() << "constructed";
        } catch (const ModelError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        if (!c.omit.empty()) EXPECT_NE(capture.text().find(c.message), std::string::npos) << capture.text();
    }
}

TEST(ZOV4Construction, UnreadableFileThrowsTheReadersError) {
    TempDir dir;
    const std::string path = dir.write("broken.gguf", "GGUF");
    try {
        ZOV4Forward f(path);
        ADD_FAILURE() << "constructed";
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind("GGUF: ", 0), 0u) << e.what();
    }
}

// Without a loadable GPU driver the model still loads, with the GPU routes
// off; with the software device allowed they are on.
TEST(ZOV4Construction, GpuRoutesFollowTheDevice) {
    if (isChildTest("ZOV4Construction.GpuRoutesFollowTheDevice")) {
        const auto f = std::make_unique<ZOV4Forward>(sharedDeepSeekV4Model("base").path());
        std::printf("use_gpu=%d\n", int(f->use_gpu));
        return;
    }
    if (std::getenv("VIVIROV_CHILD_TEST")) GTEST_SKIP();
    const auto none = runChildTest("ZOV4Construction.GpuRoutesFollowTheDevice",
                                   {{"VK_ICD_FILENAMES", "/nonexistent/icd.json"}, {"VIVIROV_GPU_ALLOW_CPU", "1"}});
    EXPECT_NE(none.stdoutData.find("use_gpu=0"), std::string::npos) << none.stdoutData << none.stderrData;
    const auto soft = runChildTest("ZOV4Construction.GpuRoutesFollowTheDevice", {{"VIVIROV_GPU_ALLOW_CPU", "1"}});
    EXPECT_NE(soft.stdoutData.find("use_gpu=1"), std::string::npos) << soft.stdoutData << soft.stderrData;
}
