// The engine on the tiny DeepSeek-V4 model: requests through the pump decode
// exactly what the forward object decodes when called directly, each request
// keeps its own history, and the chat call and the benchmark run on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
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
    // Recorders live in the fixture, so they outlive the engine that TearDown
    // destroys: a request still running when a test fails calls back into one.
    Recorder& newRecorder() { return *recorders_.emplace_back(std::make_unique<Recorder>()); }
    std::vector<std::unique_ptr<Recorder>> recorders_;

    // What an engine's forward object decodes when called directly, with no
    // request through the pump: the prompt's prefill, then one token at a
    // time. It is bound and set up as creation leaves it, as the pump's is.
    static std::vector<int32_t> direct(const std::vector<int32_t>& prompt) {
        static std::map<std::vector<int32_t>, std::vector<int32_t>> known;
        if (auto it = known.find(prompt); it != known.end()) return it->second;
        EngineWrapper* ref = vivirov_vm_v2_create(model_->path().c_str());
        EXPECT_NE(ref, nullptr);
        if (!ref) return {};
        vm::zov4::ZOV4Forward& f = *ref->engine.zov4_;
        std::vector<int32_t> out;
        {
            std::lock_guard lock(f.mu);
            out.push_back(f.forward(prompt, nullptr, false));
            while (out.size() < 32) out.push_back(f.forward_one(out.back(), nullptr, false));
        }
        vivirov_vm_v2_destroy(ref);
        return known[prompt] = out;
    }
    // Holds the forward object, and so the pump between two steps, once the
    // hooks have seen n results.
    std::unique_lock<std::recursive_mutex> holdPumpAfter(const Recorder& rec, size_t n) {
        std::unique_lock hold(w->engine.zov4_->mu, std::defer_lock);
        waitUntil([&] {
            hold.lock();
            if (rec.hooks().size() >= n) return true;
            hold.unlock();
            return false;
        });
        return hold;
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
    Recorder& rec = newRecorder();
    EXPECT_EQ(infer(rec, 9, {5, 512}, 9), 0); // outside the vocabulary
    ASSERT_EQ(infer(rec, 1, {5, 17, 33}, 1), 1);
    ASSERT_TRUE(rec.waitForFinals(1));
    EXPECT_EQ(tokensOf(rec, 1), direct({5, 17, 33}));
}

TEST_F(DeepSeekV4Engine, ConcurrentRequestsAndAChatCallBetweenChangeNothing) {
    const auto aloneA = direct({5, 17, 33});
    const auto aloneB = direct({400, 2});
    Recorder& rec = newRecorder();
    ASSERT_EQ(infer(rec, 1, {5, 17, 33}, 1), 1);
    ASSERT_EQ(infer(rec, 2, {400, 2}, 2), 1);
    // The pump waits between two steps while a chat turn (fast mode: other
    // routing, other switches) runs.
    auto hold = holdPumpAfter(rec, 4);
    ASSERT_TRUE(hold.owns_lock());
    ASSERT_LT(rec.finals(), 2u);
    EXPECT_GE(vivirov_vm_v2_chat_generate(w, "hello", 4, nullptr, nullptr), 1);
    hold.unlock();
    ASSERT_TRUE(rec.waitForFinals(2));
    EXPECT_EQ(tokensOf(rec, 1), aloneA);
    EXPECT_EQ(tokensOf(rec, 2), aloneB);
}

TEST_F(DeepSeekV4Engine, APausedRequestResumesWhereItStopped) {
    Recorder& rec = newRecorder();
    {
        // The pump takes the request and waits at its prefill; the pause then
        // lands after exactly that one token, however loaded the machine.
        std::lock_guard hold(w->engine.zov4_->mu);
        ASSERT_EQ(infer(rec, 1, {5, 17, 33}, 1), 1);
        ASSERT_TRUE(waitUntil([&] { return w->engine.cmd_tail_.value.load() >= 1; }));
        ASSERT_EQ(vivirov_vm_v2_pause(w, 1), 1);
    }
    ASSERT_TRUE(rec.waitForFinals(1));
    ASSERT_EQ(vivirov_vm_v2_resume(w, 1), 1);
    ASSERT_TRUE(rec.waitForFinals(2));
    std::vector<int32_t> tokens = tokensOf(rec, 1);
    ASSERT_EQ(tokens.size(), 33u);
    ASSERT_EQ(tokens[1], -1);
    tokens.erase(tokens.begin() + 1);
    EXPECT_EQ(tokens, direct({5, 17, 33}));
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
    // max_tokens → pieces: the budget is clamped to 1..64.
    for (const auto& [max, expected] : {std::pair{0, 1}, {1, 1}, {100, 64}}) {
        Pieces p;
        EXPECT_EQ(vivirov_vm_v2_chat_generate(w, "hi", max, &Pieces::cb, &p), expected) << max;
        ASSERT_EQ(p.texts.size(), size_t(expected)) << max;
        for (const auto& t : p.texts) // no tokenizer: "[id]"
            EXPECT_TRUE(t.size() >= 3 && t.front() == '[' && t.back() == ']') << t;
    }

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
    struct Row {
        int32_t B, n_decode;
        const char* fastBench;
        int32_t sequences, steps;
        const char* line;
    };
    const Row rows[] = {
        {0, 1, nullptr, 1, 1, "[vm_v2] bench_batch_tps B=1 n_decode=1 tokens=1 "},
        {1, 0, nullptr, 1, 1, "[vm_v2] bench_batch_tps B=1 n_decode=1 tokens=1 "},
        {40, 2, nullptr, 16, 2, "[vm_v2] bench_batch_tps B=16 n_decode=2 tokens=32 "},
        {16, 1, "1", 1, 1, "[FAST_BENCH] VIVIROV_BENCH_MINIMAL=1 clamp B=16 -> 1\n"},
    };
    for (const Row& r : rows) {
        ScopedEnv env;
        env.set("VIVIROV_FAST_BENCH", r.fastBench ? std::optional<std::string>(r.fastBench) : std::nullopt)
            .set("VIVIROV_BENCH_MINIMAL", std::nullopt);
        double tps = -1, wall = -1;
        int32_t tokens = -1;
        StderrCapture err;
        ASSERT_EQ(vivirov_vm_v2_bench_batch_tps(w, r.B, r.n_decode, &tps, &wall, &tokens), 0) << r.B;
        EXPECT_EQ(tokens, r.sequences * r.steps) << r.B;
        EXPECT_GT(tps, 0.0);
        EXPECT_GT(wall, 0.0);
        const std::string text = err.text();
        EXPECT_NE(text.find(r.line), std::string::npos) << text;
        EXPECT_NE(text.find("[om2] om2_prefetch push="), std::string::npos);
    }
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
