// The single-sequence pass end to end on the tiny model: prefill against a
// double-precision reference, prefill against prefill plus decode, the
// sequence's history rules, refused input, and the diagnostics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

#include "tests/ZOV4Forward/ForwardTestSupport.h"
#include "tests/ZOV4Forward/ReferenceForward.h"
#include "tests/support/ChildTest.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;
using vm::zov4::ZOV4Forward;

namespace {

const std::vector<int32_t> kPrompt = {17, 301, 5, 44, 499, 120, 3, 256, 77, 410};

DeepSeekV4Options variant(bool experts, int shards = 1) {
    DeepSeekV4Options o;
    o.withExperts = experts;
    o.shards = shards;
    return o;
}

const DeepSeekV4Model& model(bool experts, int shards = 1) {
    return sharedDeepSeekV4Model(std::string("p") + (experts ? "e" : "c") + std::to_string(shards),
                                 variant(experts, shards));
}

// Every expert counts as resident and nothing is sticky, so that the
// single-expert routing does not depend on the order rows are routed in
// (prefill routes layer by layer, decode token by token).
void orderFreeRouting(ZOV4Forward& f) {
    f.sticky = false;
    for (int e = 0; e < f.n_expert; ++e) f.active_set.on_routed(1, e, 1);
}

int argmax(const std::vector<float>& v) { return int(std::max_element(v.begin(), v.end()) - v.begin()); }

double maxAbs(const std::vector<float>& v) {
    double m = 0;
    for (float x : v) m = std::max(m, double(std::fabs(x)));
    return m;
}

// Largest difference relative to the largest logit.
double relativeGap(const std::vector<float>& a, const std::vector<float>& b) {
    double gap = 0;
    for (size_t i = 0; i < a.size(); ++i) gap = std::max(gap, double(std::fabs(a[i] - b[i])));
    return gap / std::max(1.0, maxAbs(b));
}

} // namespace

TEST(ZOV4LayerPipeline, PrefillMatchesTheDoublePrecisionReference) {
    for (bool experts : {false, true}) {
        SCOPED_TRACE(experts ? "with experts" : "core-only");
        const DeepSeekV4Model& m = model(experts);
        for (const std::vector<int32_t>& prompt : {std::vector<int32_t>{17}, std::vector<int32_t>{17, 301, 5}}) {
            const auto f = cpuForward(m.path());
            std::vector<float> logits;
            const int32_t token = f->forward(prompt, &logits);
            const std::vector<double> want = referencePrefillLogits(m, DeepSeekV4Shape{}, experts, prompt);
            ASSERT_EQ(logits.size(), want.size());
            double gap = 0, scale = 1;
            for (size_t i = 0; i < want.size(); ++i) {
                gap = std::max(gap, std::fabs(double(logits[i]) - want[i]));
                scale = std::max(scale, std::fabs(want[i]));
            }
            // Single-precision arithmetic through 4 layers against double (about 1e-6 here).
            EXPECT_LT(gap / scale, 1e-4) << "prompt of " << prompt.size();
            EXPECT_EQ(token, int32_t(std::max_element(want.begin(), want.end()) - want.begin()));
            EXPECT_EQ(f->n_past, int64_t(prompt.size()));
        }
    }
}

TEST(ZOV4LayerPipeline, ShardedModelGivesTheSameLogits) {
    for (bool experts : {false, true}) {
        std::vector<float> one, three;
        cpuForward(model(experts, 1).path())->forward(kPrompt, &one);
        cpuForward(model(experts, 3).path())->forward(kPrompt, &three);
        EXPECT_EQ(one, three) << experts;
    }
}

TEST(ZOV4LayerPipeline, PrefillThenDecodeAgreesWithOnePrefill) {
    for (bool experts : {false, true}) {
        for (size_t k : {size_t(1), size_t(4), size_t(7)}) {
            SCOPED_TRACE(std::string(experts ? "with experts" : "core-only") + ", prefill of " + std::to_string(k));
            const auto whole = cpuForward(model(experts).path());
            orderFreeRouting(*whole);
            std::vector<float> want;
            const int32_t wantToken = whole->forward(kPrompt, &want);

            const auto split = cpuForward(model(experts).path());
            orderFreeRouting(*split);
            std::vector<float> got;
            int32_t token = split->forward(std::vector<int32_t>(kPrompt.begin(), kPrompt.begin() + long(k)), &got);
            for (size_t t = k; t < kPrompt.size(); ++t) token = split->forward_one(kPrompt[t], &got);
            EXPECT_EQ(token, wantToken);
            EXPECT_EQ(argmax(got), argmax(want));
            EXPECT_LT(relativeGap(got, want), 1e-3);
            EXPECT_EQ(split->n_past, int64_t(kPrompt.size()));
            EXPECT_EQ(split->caches[0].kv_rows.size(), kPrompt.size() * size_t(split->head_dim));
        }
    }
}

TEST(ZOV4LayerPipeline, ALaterPromptLeavesTheSequenceUnlessItIsEmptied) {
    const std::vector<int32_t> first = {9, 8, 7, 6}, second = {100, 200};
    const auto f = cpuForward(model(false).path());
    f->forward(first);
    const std::vector<float> kvBefore = f->caches[1].kv_rows;
    std::vector<float> logits, fresh;
    const int32_t token = f->forward(second, &logits);
    cpuForward(model(false).path())->forward(second, &fresh);
    EXPECT_EQ(logits, fresh); // the prompt's own next token
    EXPECT_EQ(token, argmax(fresh));
    EXPECT_EQ(f->n_past, 4); // but the history stays the first prompt's
    EXPECT_EQ(f->caches[1].kv_rows, kvBefore);

    // Emptied, the next prompt starts a sequence of its own and decodes as a fresh object does.
    f->reset_sequence();
    EXPECT_EQ(f->n_past, 0);
    f->forward(second);
    EXPECT_EQ(f->n_past, 2);
    const auto g = cpuForward(model(false).path());
    g->forward(second);
    std::vector<float> a, b;
    f->forward_one(55, &a);
    g->forward_one(55, &b);
    EXPECT_EQ(a, b);

    // A sequence taken out and put back continues where it was.
    ZOV4Forward::SequenceState saved = f->take_sequence();
    EXPECT_EQ(f->n_past, 0);
    f->forward(first);
    f->restore_sequence(std::move(saved));
    EXPECT_EQ(f->n_past, 3);
    f->forward_one(66, &a);
    g->forward_one(66, &b);
    EXPECT_EQ(a, b);
}

TEST(ZOV4LayerPipeline, RefusesTokensOutsideTheVocabularyBeforeAnyChange) {
    const auto f = cpuForward(model(false).path());
    EXPECT_THROW(f->forward({5, 512}), std::out_of_range);
    EXPECT_THROW(f->forward({-1}), std::out_of_range);
    EXPECT_THROW(f->forward({}), std::out_of_range);
    EXPECT_EQ(f->n_past, 0);
    EXPECT_TRUE(f->caches[0].kv_rows.empty());
    f->forward({5, 6});
    EXPECT_THROW(f->forward_one(1 << 20), std::out_of_range);
    EXPECT_EQ(f->n_past, 2);
    EXPECT_EQ(f->caches[0].kv_rows.size(), 2u * size_t(f->head_dim));
}

TEST(ZOV4LayerPipeline, NonFiniteLogitsGiveTokenZero) {
    // Every block scale of the output matrix set to NaN.
    TempDir dir;
    const DeepSeekV4Model m = writeDeepSeekV4Model(dir.path(), "nan", variant(false));
    uint64_t offset = 0, bytes = 0;
    {
        GGUFModel probe;
        probe.open(m.path());
        const GGUFTensor* out = probe.find("output.weight");
        ASSERT_EQ(out->type, 8u);
        offset = uint64_t(out->data - probe.shards[0]->base);
        bytes = m.tensors.at("output.weight").bytes.size();
    }
    {
        std::fstream file(m.path(), std::ios::in | std::ios::out | std::ios::binary);
        const char nanHalf[2] = {0x00, 0x7e};
        for (uint64_t block = 0; block < bytes / 34; ++block) {
            file.seekp(std::streamoff(offset + block * 34));
            file.write(nanHalf, 2);
        }
    }
    const auto f = cpuForward(m.path());
    std::vector<float> logits;
    EXPECT_EQ(f->forward({17, 301, 5}, &logits), 0);
    EXPECT_EQ(logits, std::vector<float>(size_t(f->n_vocab), 0.0f));
    EXPECT_EQ(f->forward_one(4, &logits), 0);
}

TEST(ZOV4LayerPipeline, VerbosePrefillTracesEachLayerAndDecodeDoesNot) {
    const char* name = "ZOV4LayerPipeline.VerbosePrefillTracesEachLayerAndDecodeDoesNot";
    if (isChildTest(name)) {
        const auto f = cpuForward(model(false).path());
        f->forward({1, 2, 3, 4, 5}, nullptr, true);
        std::printf("--decode--\n");
        f->forward_one(6, nullptr, true);
        std::fflush(stdout);
        return;
    }
    if (std::getenv("VIVIROV_CHILD_TEST")) GTEST_SKIP();
    const auto run = runChildTest(name, {});
    const std::string& out = run.stdoutData;
    const size_t split = out.find("--decode--");
    ASSERT_NE(split, std::string::npos) << out << run.stderrData;
    auto count = [](const std::string& text, const std::string& needle) {
        int n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
        return n;
    };
    const std::string prefill = out.substr(0, split), decode = out.substr(split);
    EXPECT_EQ(count(prefill, "  [embed] 5 tok -> [256,2,5]  rms0="), 1) << prefill;
    EXPECT_EQ(count(prefill, "  [layer "), 4) << prefill;
    EXPECT_NE(prefill.find("  [layer  3] ratio=128 keys="), std::string::npos) << prefill;
    EXPECT_EQ(count(decode, "[layer"), 0) << decode;
    EXPECT_NE(run.stderrData.find("[PHASE10] prefill dump: UVM ring cleared (lru="), std::string::npos);
}

// The audit mode is read once per process: each mode runs in a child.
TEST(ZOV4LayerPipeline, AuditPrintsAndClampsRunawayStreams) {
    const char* name = "ZOV4LayerPipeline.AuditPrintsAndClampsRunawayStreams";
    if (isChildTest(name)) {
        const auto f = cpuForward(model(false).path());
        std::vector<float> base(64, 1.0f), runaway(64, 5.0f);
        f->rms_audit_after_hc_(0, 0, base.data(), 64); // reference level 1
        // Changing the environment now has no effect.
        setenv("VIVIROV_HC_RMS_CLAMP", "1", 1);
        f->rms_audit_after_hc_(2, 1, runaway.data(), 64);
        double s = 0;
        for (float v : runaway) s += double(v) * v;
        std::printf("rms=%.6f clamps=%d\n", std::sqrt(s / 64), f->audit_clamps);
        f->forward({1, 2, 3});
        f->forward_one(4);
        std::fflush(stdout);
        return;
    }
    if (std::getenv("VIVIROV_CHILD_TEST")) GTEST_SKIP();
    struct Case {
        std::vector<std::pair<std::string, std::string>> env;
        bool prints, clamps;
    };
    const Case cases[] = {
        {{}, false, false},
        {{{"VIVIROV_RMS_AUDIT", "1"}}, true, false},
        {{{"VIVIROV_RMS_AUDIT", "0"}, {"VIVIROV_HC_RMS_CLAMP", "1"}}, true, true},
    };
    for (const Case& c : cases) {
        const auto run = runChildTest(name, c.env, {"VIVIROV_RMS_AUDIT", "VIVIROV_HC_RMS_CLAMP"});
        const std::string& err = run.stderrData;
        SCOPED_TRACE(err);
        EXPECT_EQ(err.find("[RMS_AUDIT] L=00 phase=attn rms=1.000000 L0=1.000000 ratio=1.000 residual=0 prefer_only=1 om2=0") !=
                      std::string::npos,
                  c.prints);
        EXPECT_EQ(err.find("[RMS_AUDIT] L=02 phase=ffn rms=5.000000 L0=1.000000 ratio=5.000") != std::string::npos,
                  c.prints);
        EXPECT_EQ(err.find("[RMS_CLAMP] L=02 phase=ffn scaled by 0.600000 (DIAGNOSTIC, not ZOV4-ref)") !=
                      std::string::npos,
                  c.clamps);
        EXPECT_NE(run.stdoutData.find(c.clamps ? "rms=3.000000 clamps=1" : "rms=5.000000 clamps=0"), std::string::npos)
            << run.stdoutData;
        // A real decode audits layer 0 and the last layer of both halves.
        EXPECT_EQ(err.find("[RMS_AUDIT] L=03 phase=ffn") != std::string::npos, c.prints);
    }
}

// On the software GPU device the prefill's projections take the GPU route
// and agree with the CPU route.
TEST(ZOV4LayerPipeline, GpuPrefillMatchesTheCpuRoute) {
    const char* name = "ZOV4LayerPipeline.GpuPrefillMatchesTheCpuRoute";
    if (isChildTest(name)) {
        const auto gpu = std::make_unique<ZOV4Forward>(model(true).path());
        if (!gpu->use_gpu) {
            std::printf("no device\n");
            return;
        }
        const auto cpu = cpuForward(model(true).path());
        orderFreeRouting(*gpu);
        orderFreeRouting(*cpu);
        std::vector<float> a, b;
        const int32_t ta = gpu->forward(kPrompt, &a), tb = cpu->forward(kPrompt, &b);
        std::printf("tokens %d %d gap %.6f registered %zu\n", ta, tb, relativeGap(a, b), gpu->dense_buffers.size());
        return;
    }
    if (std::getenv("VIVIROV_CHILD_TEST")) GTEST_SKIP();
    const auto run = runChildTest(name, {{"VIVIROV_GPU_ALLOW_CPU", "1"}});
    if (run.stdoutData.find("no device") != std::string::npos) GTEST_SKIP() << "no Vulkan device";
    int ta = -1, tb = -2;
    double gap = 1;
    size_t registered = 0;
    const size_t at = run.stdoutData.find("tokens ");
    ASSERT_NE(at, std::string::npos) << run.stdoutData << run.stderrData;
    ASSERT_EQ(std::sscanf(run.stdoutData.c_str() + at, "tokens %d %d gap %lf registered %zu", &ta, &tb, &gap, &registered), 4);
    EXPECT_EQ(ta, tb);
    EXPECT_LT(gap, 1e-2);
    EXPECT_GT(registered, 0u);
}
