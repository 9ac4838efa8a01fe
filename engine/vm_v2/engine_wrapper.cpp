#include "vm_v2/engine_wrapper.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <cstdio>

namespace vivirov {
namespace {

// Every producer rings; the bound only caps the cost of a missed ring.
constexpr auto kIdleWaitBound = std::chrono::milliseconds(100);

bool piece_waiting(const EngineWrapper& w) {
    return w.cb_tail.value.load(std::memory_order_relaxed) != w.cb_head.value.load(std::memory_order_seq_cst);
}

bool pop_piece(EngineWrapper& w, TokenPiece& out) {
    const uint64_t t = w.cb_tail.value.load(std::memory_order_relaxed);
    if (t == w.cb_head.value.load(std::memory_order_acquire)) return false;
    out = w.cb_ring[t % kRingSlots];
    w.cb_tail.value.store(t + 1, std::memory_order_release);
    return true;
}

void deliver(EngineWrapper& w, const TokenPiece& p) {
    TokenPieceCallback cb = w.piece_cb.load(std::memory_order_acquire);
    if (cb) cb(p.agent_id, p.bytes, p.len, p.final != 0, w.piece_user.load(std::memory_order_acquire));
}

void result_loop(EngineWrapper& w) {
    pthread_setname_np(pthread_self(), "vm_v2.result");
    InferenceResult r;
    while (w.result_running.load(std::memory_order_acquire)) {
        if (w.engine.pop_result(r)) handle_result(w, r);
        else
            w.engine.res_bell_.sleep_unless(
                [&w] { return !w.result_running.load(std::memory_order_seq_cst) || w.engine.result_waiting(); },
                kIdleWaitBound);
    }
    while (w.engine.pop_result(r)) handle_result(w, r);
}

void callback_loop(EngineWrapper& w) {
    pthread_setname_np(pthread_self(), "vm_v2.callback");
    TokenPiece p;
    while (w.callback_running.load(std::memory_order_acquire)) {
        if (pop_piece(w, p)) deliver(w, p);
        else
            w.cb_bell.sleep_unless(
                [&w] { return !w.callback_running.load(std::memory_order_seq_cst) || piece_waiting(w); },
                kIdleWaitBound);
    }
    while (pop_piece(w, p)) deliver(w, p);
}

} // namespace

void handle_result(EngineWrapper& w, const InferenceResult& r) {
    if (r.hook) r.hook(r.agent_id, r.token, r.final != 0, r.hook_ctx);
    if (!w.piece_cb.load(std::memory_order_acquire)) return;

    TokenPiece piece;
    piece.agent_id = r.agent_id;
    piece.final = r.final;
    if (r.final && r.token == -1) {
        piece.len = 0;
    } else if (w.tokenizer) {
        piece.len = uint16_t(w.tokenizer->detok_into(r.token, piece.bytes, kPieceBytes));
    } else {
        char text[16];
        const int n = std::snprintf(text, sizeof text, "%u ", uint32_t(r.token));
        piece.len = uint16_t(n);
        std::copy(text, text + n, piece.bytes);
    }

    const uint64_t h = w.cb_head.value.load(std::memory_order_relaxed);
    while (h - w.cb_tail.value.load(std::memory_order_acquire) >= kRingSlots) {
        if (!w.callback_running.load(std::memory_order_acquire)) return; // shutting down: drop
        sched_yield();
    }
    w.cb_ring[h % kRingSlots] = piece;
    w.cb_head.value.store(h + 1, std::memory_order_seq_cst); // seen by a sleeping reader: see Doorbell
    w.cb_bell.ring();
}

} // namespace vivirov

void EngineWrapper::start() {
    result_running.store(true);
    callback_running.store(true);
    engine.start();
    result_thread = std::thread([this] { vivirov::result_loop(*this); });
    callback_thread = std::thread([this] { vivirov::callback_loop(*this); });
}

void EngineWrapper::stop() {
    engine.stop_pump();
    result_running.store(false);
    engine.res_bell_.ring();
    if (result_thread.joinable()) result_thread.join();
    callback_running.store(false);
    cb_bell.ring();
    if (callback_thread.joinable()) callback_thread.join();
}

EngineWrapper::~EngineWrapper() {
    stop();
    tokenizer.reset();
    tok_file.reset();
}
