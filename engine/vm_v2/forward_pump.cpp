// The request pipeline's engine side: the bounded command ring, the pump
// thread that carries out commands and decodes one token per running request
// per pass, and the result ring it feeds.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>

#include "common/engine_log.h"
#include "vm_cabi/gguf_file.h"
#include "vm_v2/vm_engine_v2.h"

namespace vivirov {

namespace {
// Every producer rings; the bound only caps the cost of a missed ring.
constexpr auto kIdleWaitBound = std::chrono::milliseconds(100);
} // namespace

struct VMEngineV2::PumpState {
    std::vector<ActiveSequence> active;
    std::unordered_map<uint32_t, ActiveSequence> paused;
    // The request whose prompt is being fed, not yet in the active list.
    std::optional<ActiveSequence> feeding;
};

bool VMEngineV2::enqueue(uint8_t op, uint32_t agent_id, const uint32_t* ids, uint32_t n_ids, TokenHook hook,
                         void* ctx) {
    uint64_t p = cmd_head_.value.load(std::memory_order_relaxed);
    for (;;) {
        EngineCommand& slot = cmd_ring_[p % kRingSlots];
        const uint64_t seq = slot.seq.load(std::memory_order_acquire);
        const int64_t diff = int64_t(seq) - int64_t(p);
        if (diff == 0) {
            if (cmd_head_.value.compare_exchange_weak(p, p + 1, std::memory_order_seq_cst,
                                                      std::memory_order_relaxed)) {
                slot.agent_id = agent_id;
                // Entries past n_ids stay 0: clear only what the slot's last
                // command wrote beyond this one's ids.
                const uint32_t stale = std::max(slot.n_ids, n_ids);
                for (uint32_t i = 0; i < stale; ++i) slot.ids[i] = i < n_ids ? ids[i] : 0;
                slot.n_ids = n_ids;
                slot.hook = hook;
                slot.hook_ctx = ctx;
                slot.op = op;
                slot.seq.store(p + 1, std::memory_order_release);
                cmd_bell_.ring();
                return true;
            }
        } else if (diff < 0) {
            return false; // full: producers never wait
        } else {
            p = cmd_head_.value.load(std::memory_order_relaxed);
        }
    }
}

bool VMEngineV2::command_waiting() const {
    // The head, not the slot: a producer's claim of the head is the
    // sequentially consistent step its ring follows. A claimed slot not yet
    // written keeps the pump looking until it is.
    return cmd_head_.value.load(std::memory_order_seq_cst) != cmd_tail_.value.load(std::memory_order_relaxed);
}

bool VMEngineV2::dequeue(EngineCommand& out) {
    const uint64_t d = cmd_tail_.value.load(std::memory_order_relaxed);
    EngineCommand& slot = cmd_ring_[d % kRingSlots];
    if (slot.seq.load(std::memory_order_acquire) != d + 1) return false;
    out.agent_id = slot.agent_id;
    out.n_ids = slot.n_ids;
    std::copy(slot.ids, slot.ids + slot.n_ids, out.ids); // a command reads only its n_ids ids
    out.hook = slot.hook;
    out.hook_ctx = slot.hook_ctx;
    out.op = slot.op;
    cmd_tail_.value.store(d + 1, std::memory_order_relaxed);
    slot.seq.store(d + kRingSlots, std::memory_order_release);
    return true;
}

void VMEngineV2::start() {
    running_.store(true);
    pump_ = std::thread([this] { forward_pump(); });
}

std::string VMEngineV2::pump_fault() const {
    return pump_halted() ? pump_fault_ : std::string();
}

int32_t VMEngineV2::id_limit() const {
    int64_t limit = n_vocab_;
    if (tok_embd_ && tok_embd_->dims.size() >= 2 && int64_t(tok_embd_->dims[1]) < limit)
        limit = int64_t(tok_embd_->dims[1]);
    return int32_t(limit);
}

void VMEngineV2::forward_pump() {
    pthread_setname_np(pthread_self(), "vm_v2.pump");
    PumpState st;
    st.active.reserve(256);
    try {
        run_passes(st);
    } catch (const std::exception& e) {
        halt(e.what(), st);
    } catch (...) {
        halt("unknown exception", st);
    }
}

void VMEngineV2::run_passes(PumpState& st) {
    while (running_.load(std::memory_order_acquire)) {
        EngineCommand cmd;
        while (dequeue(cmd)) take_command(cmd, st);
        if (st.active.empty()) {
            cmd_bell_.sleep_unless([this] { return !running_.load(std::memory_order_seq_cst) || command_waiting(); },
                                   kIdleWaitBound);
            continue;
        }
        for (size_t i = 0; i < st.active.size();) {
            ActiveSequence& s = st.active[i];
            s.token = decode_call(s);
            s.pos += 1;
            s.generated += 1;
            if (s.generated < kTokensPerRequest) {
                push_result(s, s.token, false);
                ++i;
                continue;
            }
            // What the sequence holds goes back before its final result: a
            // caller that saw the final finds its rows and slot released.
            release_sequence(s);
            push_result(s, s.token, true);
            // The last sequence moves into this place and steps next.
            if (i + 1 != st.active.size()) s = std::move(st.active.back());
            st.active.pop_back();
        }
    }
}

void VMEngineV2::take_command(const EngineCommand& cmd, PumpState& st) {
    if (cmd.op == kOpPause) {
        for (size_t i = 0; i < st.active.size(); ++i) {
            if (st.active[i].agent_id != cmd.agent_id) continue;
            ActiveSequence& s = st.active[i];
            push_result(s, -1, true);
            auto it = st.paused.find(cmd.agent_id);
            if (it != st.paused.end()) {
                // The replaced sequence already had its final result; give
                // back what it holds so nothing leaks.
                release_sequence(it->second);
                it->second = std::move(s);
            } else {
                st.paused.emplace(cmd.agent_id, std::move(s));
            }
            if (i + 1 != st.active.size()) st.active[i] = std::move(st.active.back());
            st.active.pop_back();
            return;
        }
        return;
    }
    if (cmd.op == kOpResume) {
        auto it = st.paused.find(cmd.agent_id);
        if (it == st.paused.end()) return;
        st.active.push_back(std::move(it->second));
        st.paused.erase(it);
        return;
    }

    ActiveSequence& s = st.feeding.emplace();
    s.agent_id = cmd.agent_id;
    s.hook = cmd.hook;
    s.hook_ctx = cmd.hook_ctx;
    if (fused_) {
        std::lock_guard lock(dense_mu_);
        if (!free_slots_.empty()) {
            s.gpu_slot = free_slots_.back();
            free_slots_.pop_back();
        }
    }
    const uint32_t n = cmd.n_ids;
    if (n > 0) {
        if (is_zov4_) {
            s.tokens.assign(cmd.ids, cmd.ids + (n - 1));
        } else {
            for (uint32_t i = 0; i + 1 < n; ++i) {
                s.token = int32_t(cmd.ids[i]);
                (void)decode_call(s);
                s.pos += 1;
            }
        }
        s.token = int32_t(cmd.ids[n - 1]);
        s.pos = int32_t(n - 1);
    }
    st.active.push_back(std::move(s));
    st.feeding.reset();
}

int32_t VMEngineV2::decode_call(ActiveSequence& seq) {
    if (step_hook_) return step_hook_(step_hook_ctx_, seq);
    if (is_zov4_) return forward_one_zov4(seq);
    std::lock_guard lock(dense_mu_);
    if (seq.gpu_slot < 0) return forward_one_cpu(seq);
    return forward_one_gpu(seq);
}

int32_t VMEngineV2::forward_one_cpu(ActiveSequence& seq) {
    if (!gguf_) {
        const uint32_t next = uint32_t(seq.token) + 1u;
        return int32_t(n_vocab_ > 0 ? next % uint32_t(n_vocab_) : next);
    }
    return forward_one_cpu_dense(seq);
}

void VMEngineV2::push_result(const ActiveSequence& seq, int32_t token, bool final) {
    const uint64_t h = res_head_.value.load(std::memory_order_relaxed);
    while (h - res_tail_.value.load(std::memory_order_acquire) >= kRingSlots) sched_yield();
    InferenceResult& r = res_ring_[h % kRingSlots];
    r.agent_id = seq.agent_id;
    r.token = token;
    r.hook = seq.hook;
    r.hook_ctx = seq.hook_ctx;
    r.final = final ? 1 : 0;
    res_head_.value.store(h + 1, std::memory_order_seq_cst); // seen by a sleeping reader: see Doorbell
    res_bell_.ring();
}

bool VMEngineV2::result_waiting() const {
    return res_tail_.value.load(std::memory_order_relaxed) != res_head_.value.load(std::memory_order_seq_cst);
}

bool VMEngineV2::pop_result(InferenceResult& out) {
    const uint64_t t = res_tail_.value.load(std::memory_order_relaxed);
    if (t == res_head_.value.load(std::memory_order_acquire)) return false;
    out = res_ring_[t % kRingSlots];
    res_tail_.value.store(t + 1, std::memory_order_release);
    return true;
}

void VMEngineV2::release_sequence(ActiveSequence& seq) {
    if (seq.gpu_slot >= 0) {
        std::lock_guard lock(dense_mu_);
        free_slot(seq.gpu_slot);
        seq.gpu_slot = -1;
    } else if (!is_zov4_) {
        std::lock_guard lock(dense_mu_);
        kv_forget_(seq.agent_id, seq.pos);
    }
}

void VMEngineV2::halt(const char* what, PumpState& st) {
    vm::log_line("[vm_v2] forward pump fault: %s — inference halted, app stays up", what);
    pump_fault_ = what;
    pump_halted_.store(true, std::memory_order_release);
    for (const ActiveSequence& s : st.active) push_result(s, -1, true);
    // A request whose prompt was being fed waits for its final result too.
    if (st.feeding) push_result(*st.feeding, -1, true);
}

} // namespace vivirov
