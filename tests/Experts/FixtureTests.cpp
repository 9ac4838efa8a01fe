// The tiny DeepSeek-V4 model opens through the engine's reader in every
// variant with the shapes the passes rely on, and its om2 packs reproduce the
// fused experts' products.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/vm_cabi/gguf_model.h"
#include "engine/vm_cabi_v2/low_rank_gemv.h"
#include "engine/vm_cabi_v2/om2_registry.h"
#include "tests/support/DeepSeekV4Packs.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;

TEST(DeepSeekV4Fixture, VariantsOpenWithEveryTensorInPlace) {
    TempDir dir;
    for (int shards : {1, 3})
        for (bool experts : {false, true}) {
            DeepSeekV4Options o;
            o.shards = shards;
            o.withExperts = experts;
            const std::string stem = "m" + std::to_string(shards) + (experts ? "e" : "c");
            const DeepSeekV4Model written = writeDeepSeekV4Model(dir.path(), stem, o);
            ASSERT_EQ(written.shardPaths.size(), size_t(shards));
            GGUFModel model;
            model.open(written.path());
            EXPECT_EQ(model.shards.size(), size_t(shards));
            EXPECT_EQ(model.shards[0]->kv.at("deepseek4.block_count"), 4.0);
            EXPECT_EQ(model.tensors.size(), written.tensors.size());
            for (const auto& [name, t] : written.tensors) {
                const GGUFTensor* g = model.find(name);
                ASSERT_NE(g, nullptr) << name;
                EXPECT_EQ(g->dims, t.dims) << name;
                EXPECT_EQ(std::memcmp(g->data, t.bytes.data(), t.bytes.size()), 0) << name;
            }
            EXPECT_EQ(model.find("blk.0.ffn_up_exps.weight") != nullptr, experts);
            EXPECT_NE(model.find("blk.2.indexer.proj.weight"), nullptr);     // ratio 4 carries the indexer
            EXPECT_EQ(model.find("blk.3.indexer.proj.weight"), nullptr);     // ratio 128 does not
            EXPECT_EQ(model.find("blk.1.attn_compressor_kv.weight"), nullptr); // ratio 0
            EXPECT_EQ(model.find("blk.2.attn_compressor_kv.weight")->dims, (std::vector<uint64_t>{256, 256}));
            EXPECT_EQ(model.find("blk.3.attn_compressor_kv.weight")->dims, (std::vector<uint64_t>{256, 128}));
            EXPECT_NE(model.find("blk.0.ffn_gate_tid2eid.weight"), nullptr);
            EXPECT_EQ(model.find("blk.1.ffn_gate_tid2eid.weight"), nullptr);
        }
}

TEST(DeepSeekV4Fixture, FullRankPacksReproduceTheFusedExperts) {
    TempDir dir;
    const DeepSeekV4Model m = writeDeepSeekV4Model(dir.path(), "f3", {});
    EXPECT_EQ(writeDeepSeekV4Packs(m, dir.path(), {1}), 24);
    vm::apex::Om2Registry reg;
    reg.load_dir(dir.path());
    std::vector<float> x(256);
    for (size_t j = 0; j < x.size(); ++j) x[j] = std::sin(float(j));
    for (const char* proj : {"up", "down"}) {
        int rows = 0, cols = 0;
        const auto W = deepSeekV4ExpertMatrix(m, std::string("blk.1.ffn_") + proj + "_exps.weight", 5, rows, cols);
        const auto pack = reg.get_or_load(1, 5, proj[0]);
        ASSERT_TRUE(pack);
        ASSERT_EQ(pack->rows, rows);
        std::vector<float> y(size_t(rows), 0.0f);
        vm::apex::dual_gemv_f32_det(pack->U.data(), pack->V.data(), pack->S.data(), rows, cols, pack->rank, x.data(),
                                    y.data(), nullptr);
        for (int i = 0; i < rows; ++i) {
            double ref = 0, mag = 0;
            for (int j = 0; j < cols; ++j) {
                ref += double(W[size_t(i) * size_t(cols) + size_t(j)]) * x[size_t(j)];
                mag += std::fabs(double(W[size_t(i) * size_t(cols) + size_t(j)]) * x[size_t(j)]);
            }
            // Half-precision factors: about 2^-11 of the absolute terms.
            ASSERT_NEAR(y[size_t(i)], ref, 1e-3 * mag + 1e-6) << proj << " row " << i;
        }
    }
}
