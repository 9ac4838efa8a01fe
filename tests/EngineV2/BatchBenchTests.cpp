// The batch throughput run over a scripted multi-sequence model: batch size
// clamps, the prompt's resizing, prefill waves and the trace, a failed
// prefill.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/vm_v2/batch_bench.h"
#include "tests/EngineV2/ScriptedSlotModel.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/StderrCapture.h"

using namespace vivirov::test;

namespace {

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(BatchBench, BatchSizeClampsAndMinimalModeRunsOne) {
    ScopedEnv env;
    env.set("VIVIROV_FAST_BENCH", std::nullopt).set("VIVIROV_BENCH_MINIMAL", std::nullopt);
    EXPECT_EQ(vivirov::bench_batch_size(0), 1);
    EXPECT_EQ(vivirov::bench_batch_size(1), 1);
    EXPECT_EQ(vivirov::bench_batch_size(40), 16);
    env.set("VIVIROV_FAST_BENCH", "1");
    StderrCapture err;
    EXPECT_EQ(vivirov::bench_batch_size(16), 1);
    EXPECT_EQ(vivirov::bench_batch_size(1), 1);
    EXPECT_EQ(err.text(), "[FAST_BENCH] VIVIROV_BENCH_MINIMAL=1 clamp B=16 -> 1\n");
}

TEST(BatchBench, PrefillTokensRepeatOrCutThePrompt) {
    struct Case {
        const char* value;
        std::vector<int32_t> expected;
    };
    std::vector<int32_t> base;
    for (int i = 0; i < 13; ++i) base.push_back(i * 100 % 512);
    std::vector<int32_t> forty;
    for (int i = 0; i < 40; ++i) forty.push_back(base[size_t(i) % 13]);
    const Case cases[] = {
        {nullptr, base},
        {"40", forty},
        {"5", std::vector<int32_t>(base.end() - 5, base.end())},
        {"abc", base},
        {"-3", base},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "unset");
        ScopedEnv env("VIVIROV_PREFILL_TOKENS", c.value ? std::optional<std::string>(c.value) : std::nullopt);
        int32_t raw = 0, cap = 0, p = 0;
        EXPECT_EQ(vivirov::bench_prompt_ids(nullptr, 512, &raw, &cap, &p), c.expected);
        EXPECT_EQ(raw, 13);
    }
}

TEST(BatchBench, WavesTraceAndDecodeEverySequenceTogether) {
    ScopedEnv env;
    env.set("VIVIROV_PREFILL_TOKENS", "100").set("VIVIROV_PREFILL_WAVE", std::nullopt);
    ScriptedSlotModel m;
    vivirov::BatchBenchResult r;
    StderrCapture err;
    ASSERT_EQ(vivirov::run_batch_bench(m.model(), nullptr, 8, 4, r), 0);
    const std::string log = err.text();
    EXPECT_NE(log.find("[vm_v2][BB] prompt_n=100 (raw=13) prefill_tokens_cap=100 wave=2 B=8"), std::string::npos)
        << log;
    EXPECT_EQ(count(log, "prefill_wave_boundary"), 3u);
    for (int s : {1, 3, 5})
        EXPECT_NE(log.find("[vm_v2][BB] prefill_wave_boundary after_slot=" + std::to_string(s) + " wave=2"),
                  std::string::npos);
    EXPECT_EQ(count(log, "prefill_begin"), 8u);
    EXPECT_NE(log.find("[vm_v2][BB] all_prefill_done B=8 prompt_n=100 entering DynBatch"), std::string::npos);
    EXPECT_NE(log.find("[vm_v2][BB] run_until_idle_end"), std::string::npos);

    EXPECT_EQ(m.initSlots, 8);
    EXPECT_EQ(m.prefills.size(), 8u);
    EXPECT_EQ(r.tokens, 8 * 4);
    EXPECT_EQ(m.decodedRows, 8 * 4);
    EXPECT_GT(r.wall_s, 0.0);
    EXPECT_GT(r.tps, 0.0);
    // Every step decodes all eight sequences as one batch.
    EXPECT_TRUE(std::all_of(m.batchSizes.begin(), m.batchSizes.end(), [](int n) { return n == 8; }));
}

TEST(BatchBench, AFailedPrefillStopsTheRunWithMinusTwo) {
    ScriptedSlotModel m;
    m.failSlot = 2;
    vivirov::BatchBenchResult r;
    r.tokens = -7;
    StderrCapture err;
    EXPECT_EQ(vivirov::run_batch_bench(m.model(), nullptr, 4, 4, r), -2);
    EXPECT_NE(err.text().find("[vm_v2] prefill failed slot=2"), std::string::npos);
    EXPECT_EQ(r.tokens, -7);
    EXPECT_EQ(m.prefills.size(), 3u);
}

} // namespace
