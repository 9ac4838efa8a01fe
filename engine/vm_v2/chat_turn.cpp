#include "vm_v2/chat_turn.h"

#include <algorithm>
#include <cstdio>

#include "common/engine_log.h"
#include "vm_cabi/bpe_tokenizer.h"

namespace vivirov {
namespace {

constexpr int32_t kMaxChatTokens = 64;
constexpr size_t kMaxChatPromptIds = 64;

void deliver(const BPETokenizer* tok, int32_t token, ChatPieceCallback cb, void* user) {
    if (!cb) return;
    char buf[64];
    size_t len = tok ? tok->detok_into(token, buf, sizeof buf) : 0;
    if (len == 0) len = size_t(std::snprintf(buf, 24, "[%d]", token));
    cb(buf, int32_t(len), user);
}

bool stopped(const std::atomic<bool>* stop) {
    return stop && stop->load(std::memory_order_acquire);
}

} // namespace

std::vector<int32_t> chat_prompt_ids(const BPETokenizer* tok, const char* prompt, int32_t n_vocab) {
    std::vector<int32_t> ids;
    if (prompt && *prompt && tok) {
        size_t dropped = 0;
        for (int32_t id : tok->encode(prompt)) {
            if (id >= 0 && id < n_vocab) ids.push_back(id);
            else ++dropped;
        }
        if (dropped) vm::log_line("[vm_v2] chat_generate: %zu ids outside the vocabulary dropped", dropped);
    }
    if (ids.empty()) {
        ids = {1, 2, 3, 4, 5, 6, 7, 8};
        vm::log_line("[vm_v2] chat_generate: empty encode → synthetic ids");
    }
    if (ids.size() > kMaxChatPromptIds) ids.erase(ids.begin(), ids.end() - kMaxChatPromptIds);
    return ids;
}

int32_t run_chat_turn(const SlotModel& model, const BPETokenizer* tok, const char* prompt, int32_t max_tokens,
                      ChatPieceCallback cb, void* user, const std::atomic<bool>* stop, ChatTurnStats& stats) {
    const int32_t max = std::clamp(max_tokens, 1, kMaxChatTokens);
    const std::vector<int32_t> ids = chat_prompt_ids(tok, prompt, model.n_vocab);
    stats.prompt_ids = ids.size();

    vm::batch::DynBatchScheduler sched;
    sched.init(model.decode, model.ctx);
    model.init(model.ctx, 16);
    const int64_t first64 = model.prefill(model.ctx, 0, ids);
    if (first64 < 0) {
        vm::log_line("[vm_v2] chat_generate: multi_seq_prefill failed");
        return -2;
    }
    const int32_t first = int32_t(first64);
    deliver(tok, first, cb, user);
    int32_t pieces = 1;

    const int slot = sched.open_slot(first, max, 0);
    sched.post(slot, first, max, sched.now());
    const auto& s = sched.slot(slot);

    if (max_tokens >= 2) {
        int32_t prev = first;
        for (int i = 0;;) {
            if (stopped(stop) || s.done || !s.live || sched.live() < 1) break;
            sched.post(slot, s.last_token >= 0 ? s.last_token : prev, max, sched.now());
            int32_t n = sched.step();
            if (n == 0) n = sched.run_until_idle(32);
            if (n >= 1 && s.last_token >= 0) {
                const int32_t c = s.last_token;
                deliver(tok, c, cb, user);
                pieces += 1;
                if (c == 0 || c == 1) break; // the model's begin and end markers
                prev = c;
            }
            if (++i >= 8 * max || pieces >= max) break;
        }
    }
    if (!stopped(stop)) {
        // The slot's remaining budget is decoded but not delivered.
        sched.run_until_idle(256);
        while (pieces < max && !s.done && s.live && sched.live() >= 1 && !stopped(stop) &&
               sched.run_until_idle(16) > 0) {
            if (s.last_token >= 0) {
                deliver(tok, s.last_token, cb, user);
                pieces += 1;
            }
        }
    }
    stats.sched_tokens = sched.tokens_;
    stats.batches = sched.batches_;
    return pieces;
}

} // namespace vivirov
