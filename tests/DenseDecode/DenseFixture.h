#pragma once
// Dense Qwen2-style models written as GGUF files, engines built on them, and
// greedy decoding through the engine's CPU or GPU step next to the tests'
// double-precision reference of the same model.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/vm_v2/dense_decode.h"
#include "engine/vm_v2/vm_engine_v2.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/TempDir.h"
#include "vm_gpu.h"

namespace densetest {

using vivirov::VMEngineV2;
using vivirov::test::GGUFWriter;
using vivirov::test::QwenModel;
using vivirov::test::QwenShape;
using vivirov::test::TempDir;

// Whole-block rows for every type (K-quants need 256 columns); head width 64,
// what the fused kernels serve; its own output matrix, with an F32 embedding.
inline QwenShape shapeOf(uint32_t type) {
    QwenShape s;
    s.hidden = 256;
    s.heads = 4;
    s.kvHeads = 2;
    s.ff = 512;
    s.vocab = 320;
    s.layers = 2;
    s.type = type;
    s.embdType = GGUFWriter::GF32;
    s.outputWeight = true;
    s.scale = 0.08f;
    return s;
}

inline std::string writeModel(const vivirov::test::TempDir& dir, const QwenModel& m, const std::string& name,
                              const std::map<std::string, uint32_t>& typeOf = {}) {
    return m.writer({}, typeOf).write(dir.file(name));
}

enum class Step { Cpu, Gpu };

struct Decoded {
    std::vector<int> ids;                   // prompt then generated tokens
    std::vector<std::vector<float>> logits; // one row per fed position
};

// Feeds `prompt`, then `generate` tokens of the engine's own choosing, as one
// sequence of `agent` (in GPU slot `slot` for the GPU step).
inline Decoded decode(VMEngineV2& e, Step how, uint32_t agent, const std::vector<int>& prompt, int generate,
                      int slot = 0) {
    Decoded d;
    VMEngineV2::ActiveSequence seq;
    seq.agent_id = agent;
    if (how == Step::Gpu) seq.gpu_slot = slot;
    d.ids = prompt;
    for (size_t i = 0; i < prompt.size() + size_t(generate); ++i) {
        seq.token = d.ids[i];
        std::vector<float> logits;
        int next;
        if (how == Step::Cpu) {
            next = vivirov::dense_cpu_step(e, seq, &logits);
        } else {
            next = e.forward_one_gpu(seq);
            const float* g = static_cast<const float*>(vmb_persistent_contents(e.g_logits_));
            logits.assign(g, g + e.n_vocab_);
        }
        seq.pos += 1;
        d.logits.push_back(logits);
        if (i + 1 >= prompt.size()) d.ids.push_back(next);
    }
    d.ids.pop_back(); // the prediction after the last fed token
    return d;
}

// Every fed position's logits within `tol` × (1 + max |reference logit|) of
// the reference, and its argmax the reference's unless the reference's best
// two are closer than that.
inline void expectReference(const QwenModel& m, const Decoded& d, double tol, const std::string& what) {
    const auto ref = m.referenceLogits(d.ids);
    ASSERT_EQ(ref.size(), d.logits.size()) << what;
    for (size_t p = 0; p < ref.size(); ++p) {
        double scale = 1, worst = 0;
        for (double v : ref[p]) scale = std::max(scale, 1 + std::fabs(v));
        size_t best = 0, second = 1, got = 0;
        for (size_t i = 0; i < ref[p].size(); ++i) {
            worst = std::max(worst, std::fabs(double(d.logits[p][i]) - ref[p][i]));
            if (d.logits[p][i] > d.logits[p][got]) got = i;
            if (ref[p][i] > ref[p][best]) {
                second = best;
                best = i;
            } else if (i != best && (second == best || ref[p][i] > ref[p][second])) {
                second = i;
            }
        }
        EXPECT_LE(worst, tol * scale) << what << " position " << p;
        if (ref[p][best] - ref[p][second] > 2 * tol * scale) {
            EXPECT_EQ(got, best) << what << " position " << p;
        }
    }
}

} // namespace densetest
