#pragma once
// The records that travel through the engine's three rings: commands from the
// callers to the pump, results from the pump to the result thread, and text
// pieces from the result thread to the callback thread.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include <vm_engine_v2.h>

namespace vivirov {

inline constexpr uint64_t kRingSlots = 1024;       // every ring; an index is counter mod 1024
inline constexpr uint32_t kMaxPromptIds = 64;      // ids one command carries
inline constexpr int32_t kTokensPerRequest = 32;   // every request ends after this many tokens
inline constexpr size_t kPieceBytes = 24;          // text bytes one piece carries

enum : uint8_t { kOpInfer = 0, kOpPause = 1, kOpResume = 2 };

// One slot of the bounded multi-producer command ring; `seq` is the slot's
// sequence number of the ring protocol (slot i starts with seq = i).
struct EngineCommand {
    std::atomic<uint64_t> seq{0};
    uint32_t agent_id = 0;
    uint32_t n_ids = 0;
    uint32_t ids[kMaxPromptIds] = {};
    TokenHook hook = nullptr;
    void* hook_ctx = nullptr;
    uint8_t op = kOpInfer;
};

struct InferenceResult {
    uint32_t agent_id = 0;
    int32_t token = 0; // a generated id, or -1 for a request that ended without one
    TokenHook hook = nullptr;
    void* hook_ctx = nullptr;
    uint8_t final = 0;
};

struct TokenPiece {
    uint32_t agent_id = 0;
    uint16_t len = 0;
    uint8_t final = 0;
    char bytes[kPieceBytes] = {};
};

// A ring counter alone on its cache line, so producer and consumer never
// share one.
struct alignas(64) RingCounter {
    std::atomic<uint64_t> value{0};
};

} // namespace vivirov
