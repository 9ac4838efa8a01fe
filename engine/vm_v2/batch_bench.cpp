#include "vm_v2/batch_bench.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "common/engine_env.h"
#include "common/engine_log.h"
#include "vm_cabi/bpe_tokenizer.h"
#include "vm_v2/fast_bench.h"

namespace vivirov {
namespace {

constexpr const char* kBenchPrompt =
    "Explain the quantum physics of black hole thermodynamics in exactly three sentences.";

// atoi of the variable when set and non-empty, else 0 (non-numbers read 0).
int32_t env_int(const char* name) {
    const auto v = vm::env_value(name);
    return v && !v->empty() ? std::atoi(v->c_str()) : 0;
}

} // namespace

int32_t bench_batch_size(int32_t B) {
    const int32_t clamped = std::clamp(B, 1, 16);
    if (B > 1 && vm::fast_bench::minimal_mode()) {
        vm::log_line("[FAST_BENCH] VIVIROV_BENCH_MINIMAL=1 clamp B=%d -> 1", clamped);
        return 1;
    }
    return clamped;
}

std::vector<int32_t> bench_prompt_ids(const BPETokenizer* tok, int32_t n_vocab, int32_t* raw, int32_t* cap,
                                      int32_t* prefill_tokens) {
    std::vector<int32_t> ids;
    if (tok)
        for (int32_t id : tok->encode(kBenchPrompt))
            if (id >= 0 && id < n_vocab) ids.push_back(id);
    if (ids.empty())
        for (int32_t i = 0; i < 13; ++i) ids.push_back(n_vocab > 0 ? (i * 100) % n_vocab : 0); // within a small vocabulary
    *raw = int32_t(ids.size());
    const int32_t p = env_int("VIVIROV_PREFILL_TOKENS");
    *prefill_tokens = p;
    *cap = std::clamp(p, 0, 4096);
    if (p > 0) {
        const size_t c = size_t(*cap);
        if (c < ids.size()) {
            ids.erase(ids.begin(), ids.end() - ptrdiff_t(c));
        } else if (ids.size() < c) {
            if (ids.empty()) ids.push_back(1);
            const size_t base = ids.size();
            for (size_t i = base; i < c; ++i) ids.push_back(ids[i % base]);
        }
    }
    return ids;
}

int32_t run_batch_bench(const SlotModel& model, const BPETokenizer* tok, int32_t B, int32_t n_decode,
                        BatchBenchResult& result) {
    model.init(model.ctx, B);
    int32_t raw = 0, cap = 0, p = 0;
    const std::vector<int32_t> ids = bench_prompt_ids(tok, model.n_vocab, &raw, &cap, &p);
    const int32_t w = env_int("VIVIROV_PREFILL_WAVE");
    const int32_t wave = std::max(1, std::min(w >= 1 ? w : (B < 5 || p < 1 ? B : 2), B));
    vm::log_line("[vm_v2][BB] prompt_n=%d (raw=%d) prefill_tokens_cap=%d wave=%d B=%d (tok=N in prefill_end is "
                 "NEXT-TOKEN id, not length)",
                 int32_t(ids.size()), raw, cap, wave, B);

    std::vector<int32_t> next(size_t(B), 0);
    for (int32_t s = 0; s < B; ++s) {
        if (s >= 1 && wave < B && s % wave == 0)
            vm::log_line("[vm_v2][BB] prefill_wave_boundary after_slot=%d wave=%d", s - 1, wave);
        vm::log_line("[vm_v2][BB] prefill_begin slot=%d/%d prompt_n=%zu", s, B, ids.size());
        const int64_t t = model.prefill(model.ctx, s, ids);
        next[size_t(s)] = int32_t(t);
        vm::log_line("[vm_v2][BB] prefill_end slot=%d next_tok=%d prompt_n=%zu", s, int32_t(t), ids.size());
        if (t < 0) {
            vm::log_line("[vm_v2] prefill failed slot=%d", s);
            return -2;
        }
    }
    vm::log_line("[vm_v2][BB] all_prefill_done B=%d prompt_n=%zu entering DynBatch", B, ids.size());

    vm::batch::DynBatchScheduler sched;
    sched.init(model.decode, model.ctx);
    std::vector<int> slot_of(static_cast<size_t>(B), -1);
    for (int32_t i = 0; i < B; ++i) {
        slot_of[size_t(i)] = sched.open_slot(next[size_t(i)], n_decode, uint8_t(i));
        sched.post(slot_of[size_t(i)], next[size_t(i)], n_decode, sched.now());
    }
    vm::log_line("[vm_v2][BB] dynbatch_open_submit_done live=%d", sched.live());

    if (model.reset_profile) model.reset_profile(model.ctx);
    const uint64_t t0 = vm::batch::now_us();
    for (int32_t step = 0;; ++step) {
        vm::log_line("[vm_v2][BB] decode_step_begin step=%d live=%d", step, sched.live());
        for (int32_t i = 0; i < B; ++i) {
            const auto& s = sched.slot(slot_of[size_t(i)]);
            if (!s.live || s.done) continue;
            const int32_t t = s.last_token >= 0 ? s.last_token : next[size_t(i)];
            sched.post(slot_of[size_t(i)], t, n_decode, sched.now());
        }
        const int32_t n = sched.step();
        vm::log_line("[vm_v2][BB] decode_step_end step=%d p=%d live=%d", step, n, sched.live());
        if (n == 0) sched.run_until_idle(8);
        if (sched.live() < 1 || step >= n_decode + 3) break;
    }
    vm::log_line("[vm_v2][BB] run_until_idle_begin");
    sched.run_until_idle(1000);
    vm::log_line("[vm_v2][BB] run_until_idle_end");

    result.wall_s = double(vm::batch::now_us() - t0) / 1e6;
    result.tokens = int32_t(sched.tokens_);
    result.tps = result.wall_s > 0 ? double(result.tokens) / result.wall_s : 0.0;
    return 0;
}

} // namespace vivirov
