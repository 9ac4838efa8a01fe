#pragma once
// The handle of every vivirov_vm_v2_* function: the engine first (so the
// handle is also the engine's address), then the result thread, which runs
// each result's token hook and turns its token into a text piece, and the
// callback thread, which hands pieces to the app's piece callback.
#include <atomic>
#include <memory>
#include <thread>

#include "../vm_cabi/bpe_tokenizer.h"
#include "../vm_cabi/gguf_file.h"
#include "vm_engine_v2.h"

struct alignas(64) EngineWrapper {
    explicit EngineWrapper(const char* path) : engine(path) {}
    ~EngineWrapper();
    EngineWrapper(const EngineWrapper&) = delete;
    EngineWrapper& operator=(const EngineWrapper&) = delete;

    // Starts the pump, then the result thread, then the callback thread.
    void start();
    // Stops them in the same order; each later stage drains what is queued.
    void stop();

    vivirov::VMEngineV2 engine;

    std::thread result_thread;
    std::atomic<bool> result_running{false};

    vivirov::RingCounter cb_head; // written by the result thread
    vivirov::RingCounter cb_tail; // written by the callback thread
    vivirov::TokenPiece cb_ring[vivirov::kRingSlots];
    vivirov::Doorbell cb_bell; // rung by each piece and by stop; the idle callback thread sleeps on it
    std::thread callback_thread;
    std::atomic<bool> callback_running{false};

    std::atomic<TokenPieceCallback> piece_cb{nullptr};
    std::atomic<void*> piece_user{nullptr};

    std::unique_ptr<GGUFFile> tok_file;
    std::unique_ptr<BPETokenizer> tokenizer;

    // The chat call running on this engine, and a stop asked of it.
    std::atomic<bool> chat_running{false};
    std::atomic<bool> chat_stop{false};
};

namespace vivirov {

// The result thread's step: the hook, then the piece (when a callback is set).
void handle_result(EngineWrapper& w, const InferenceResult& r);

} // namespace vivirov
