#pragma once
// Records shared by the wired expert ring, the disk reader and the staging
// pipeline: which slice (layer, projection, expert), the block-size table,
// and what staging hands back.
#include <cstdint>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>

namespace vm {

enum ExpertProj : int32_t { kProjUp = 0, kProjGate = 1, kProjDown = 2 };

struct ExpertKey {
    int32_t layer = 0;
    int32_t proj = 0;
    int32_t expert = 0;
    bool operator==(const ExpertKey&) const = default;
};

struct ExpertKeyHash {
    size_t operator()(const ExpertKey& k) const {
        return size_t(int64_t(k.layer) * 1024 + int64_t(k.proj) * 256 + int64_t(k.expert));
    }
};

// Bytes per block of a GGML type (F32, F16, Q5_0, Q8_0, Q4_K, Q5_K, Q6_K);
// 0 for any other id.
int vm_block_bytes(unsigned type);

class SliceEvent;

// One staged slice. ok false: nothing was staged. The slice's own fence
// reaches wait_value when its read has ended and must be raised to
// signal_value by whoever computes with it (the GPU through the fence's
// bridge handle, or the CPU through UvmPipeline::signal_done). A cache hit
// has wait_value 0 (the data is in); it carries the stage's completion value
// and fence while nobody has finished with the stage yet (a prefetched
// slice), else signal_value 0 and no fence.
struct StagedSlice {
    void* host = nullptr;
    uint64_t ring_offset = 0;
    uint64_t bytes = 0;
    uint64_t wait_value = 0;
    uint64_t signal_value = 0;
    bool ok = false;
    std::shared_future<void> ready;
    std::shared_ptr<SliceEvent> fence;
    // A hit on a finished stage holds its slot until UvmPipeline::unpin, so
    // the ring cannot reuse it while the hit is in use.
    bool pinned = false;
};

// A set-up failure of the ring (wiring refused, no memory, over the ceiling):
// the model's construction fails with the logged line as its text, and the
// engine falls back instead of the process ending.
struct UvmSetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace vm
