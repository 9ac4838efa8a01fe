// The engine on the tiny DeepSeek-V4 model: requests through the pump decode
// exactly what the forward object decodes when called directly, each request
// keeps its own history, and the chat call and the benchmark run on it.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/zov4/zov4_forward.h"
#include "tests/EngineV2/EngineV2Harness.h"
#include "tests/support/DeepSeekV4EngineSuite.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;

namespace {

class DeepSeekV4Engine : public DeepSeekV4EngineSuite {
protected:
    // What an engine's forward object decodes when called directly, with no
    // request through the pump: the prompt's prefill, then one token at a
    // time. It is bound and set up as creation leaves it, as the pump's is.
    static std::vector<int32_t> direct(const std::vector<int32_t>& prompt, int n) {
        EngineWrapper* ref = vivirov_vm_v2_create(model_->path().c_str());
        EXPECT_NE(ref, nullptr);
        if (!ref) return {};
        vm::zov4::ZOV4Forward& f = *ref->engine.zov4_;
        std::vector<int32_t> out;
        {
            std::lock_guard lock(f.mu);
            out.push_back(f.forward(prompt, nullptr, false));
            while (int(out.size()) < n) out.push_back(f.forward_one(out.back(), nullptr, false));
        }
        vivirov_vm_v2_destroy(ref);
        return out;
    }
    std::vector<int32_t> tokensOf(const Recorder& rec, int tag) const {
        std::vector<int32_t> out;
        for (const auto& e : rec.hooksOf(tag)) out.push_back(e.token);
        return out;
    }
    int32_t infer(Recorder& rec, uint32_t agent, const std::vector<uint32_t>& ids, int tag) {
        return vivirov_vm_v2_infer_async(w, agent, ids.data(), uint32_t(ids.size()), &Recorder::hook,
                                         rec.request(tag));
    }

};

TEST_F(DeepSeekV4Engine, PumpTokensEqualPrefillThenForwardOne) {
    EXPECT_TRUE(w->engine.is_zov4_);
    EXPECT_EQ(w->engine.n_vocab_, 512);
    Recorder rec;
    ASSERT_EQ(infer(rec, 1, {5, 17, 33}, 1), 1);
    ASSERT_TRUE(rec.waitForFinals(1));
    EXPECT_EQ(tokensOf(rec, 1), direct({5, 17, 33}, 32));
}

TEST_F(DeepSeekV4Engine, ConcurrentRequestsAndAChatCallBetweenChangeNothing) {
    const auto aloneA = direct({5, 17, 33}, 32);
    const auto aloneB = direct({400, 2}, 32);
    Recorder rec;
    ASSERT_EQ(infer(rec, 1, {5, 17, 33}, 1), 1);
    ASSERT_EQ(infer(rec, 2, {400, 2}, 2), 1);
    ASSERT_TRUE(waitUntil([&] { return rec.hooks().size() >= 4; }));
    {
        // Holding the forward object keeps the pump between two steps while
        // a chat turn (fast mode: other routing, other switches) runs.
        std::lock_guard hold(w->engine.zov4_->mu);
        ASSERT_LT(rec.finals(), 2u);
        EXPECT_GE(vivirov_vm_v2_chat_generate(w, "hello", 4, nullptr, nullptr), 1);
    }
    ASSERT_TRUE(rec.waitForFinals(2));
    EXPECT_EQ(tokensOf(rec, 1), aloneA);
    EXPECT_EQ(tokensOf(rec, 2), aloneB);
}

TEST_F(DeepSeekV4Engine, ChatPiecesAndStop) {
    struct Pieces {
        std::vector<std::string> texts;
        EngineWrapper* w = nullptr;
        static void cb(const char* b, int32_t n, void* u) {
            auto* self = static_cast<Pieces*>(u);
            self->texts.emplace_back(b, size_t(n));
            if (self->w && self->texts.size() == 3) vivirov_vm_v2_request_stop(self->w);
        }
    };
    Pieces one;
    EXPECT_EQ(vivirov_vm_v2_chat_generate(w, "hi", 0, &Pieces::cb, &one), 1);
    ASSERT_EQ(one.texts.size(), 1u);
    EXPECT_EQ(one.texts[0].front(), '['); // no tokenizer: "[id]"

    Pieces stopped;
    stopped.w = w;
    StderrCapture err;
    const int32_t n = vivirov_vm_v2_chat_generate(w, nullptr, 64, &Pieces::cb, &stopped);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(stopped.texts.size(), 3u);
    EXPECT_NE(err.text().find("[vm_v2] chat_generate: empty encode → synthetic ids"), std::string::npos);
    EXPECT_NE(err.text().find("[vm_v2] chat_generate(multi_seq): tokens=3 "), std::string::npos) << err.text();
    EXPECT_EQ(vivirov_vm_v2_request_stop(w), 0); // nothing running now
}

TEST_F(DeepSeekV4Engine, BenchClampsAndWritesItsOutputs) {
    ScopedEnv env;
    env.set("VIVIROV_FAST_BENCH", std::nullopt).set("VIVIROV_BENCH_MINIMAL", std::nullopt);
    double tps = -1, wall = -1;
    int32_t tokens = -1;
    StderrCapture err;
    ASSERT_EQ(vivirov_vm_v2_bench_batch_tps(w, 40, 2, &tps, &wall, &tokens), 0);
    EXPECT_EQ(tokens, 16 * 2);
    EXPECT_GT(tps, 0.0);
    EXPECT_NE(err.text().find("[vm_v2] bench_batch_tps B=16 n_decode=2 tokens=32 "), std::string::npos) << err.text();
    EXPECT_NE(err.text().find("[om2] om2_prefetch push="), std::string::npos);
}

TEST(EngineV2Dense, ChatAndBenchRefuseOtherModelKinds) {
    EngineWrapper* w = vivirov_vm_v2_create("scaffold://no-model");
    ASSERT_NE(w, nullptr);
    StderrCapture err;
    EXPECT_EQ(vivirov_vm_v2_chat_generate(w, "hi", 8, nullptr, nullptr), -1);
    double tps = -7;
    EXPECT_EQ(vivirov_vm_v2_bench_batch_tps(w, 4, 4, &tps, nullptr, nullptr), -1);
    EXPECT_EQ(tps, -7);
    EXPECT_EQ(vivirov_vm_v2_chat_generate(nullptr, "hi", 8, nullptr, nullptr), -1);
    EXPECT_EQ(vivirov_vm_v2_bench_batch_tps(nullptr, 4, 4, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(err.text(), "[vm_v2] chat_generate: not a ZOV4 engine\n[vm_v2] bench_batch_tps: not a ZOV4 engine\n");
    vivirov_vm_v2_destroy(w);
}

} // namespace
