#pragma once
// Process-wide bridge state behind the flat functions of vm_gpu.h. One engine
// thread at a time uses the batch, arena and scratch buffers; initialisation
// itself is serialised so that registry threads may trigger it.
#include "gpu_device.h"
#include "gpu_kernels.h"
#include "gpu_submission.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace vmgpu {

constexpr uint64_t kArenaBytes = 469762048; // 448 MiB
constexpr uint64_t kArenaSlotAlign = 256;
constexpr uint32_t kMaxBreathUs = 8000;

// One deferred read-back of the open batch.
struct BatchCopy {
    void* dst;
    GpuBuffer* src;
    uint64_t off;
    uint64_t len;
};

struct Batch {
    std::unique_ptr<Submission> submission;
    std::vector<BatchCopy> copies;
};

struct BridgeState {
    std::atomic<bool> attempted{false};
    std::atomic<bool> ready{false};
    bool fusion = false;
    bool fence_disable = false;
    GpuDevice dev;
    std::array<VkPipeline, kKernelCount> pipelines{};
    GpuBuffer* dummy = nullptr;
    GpuBuffer* arena = nullptr;
    uint64_t arena_size = 0;
    uint64_t arena_offset = 0;
    std::unique_ptr<Batch> batch;
    GpuBuffer* ring = nullptr;
    std::atomic<uint32_t> breath_us{0};
};

BridgeState& bridge();

// Initialises unless ready; true when the bridge is usable.
bool ensure_ready();
VkPipeline pipeline(Kernel k);
bool has(Kernel k);

// The open batch, or nullptr.
Batch* open_batch();

// Places n bytes in the arena at a 256-byte boundary; false (offset
// unchanged) when it does not fit.
bool arena_slot(uint64_t n, uint64_t& offset);

// Sleeps the UI breath pause, if any.
void breathe();

// A lost device ends the bridge for the process.
void mark_device_lost();

// Fence decision from the device name (separate so tests can feed a name).
void apply_device_name(const char* name);

// Test seam: the next `count` submissions fail; with `lost`, as a lost device.
void fail_submissions_for_testing(int count, bool lost);
// Consumed by Submission::submit_and_wait: the injected result, or VK_SUCCESS.
VkResult injected_submit_result();

// Counters of the matrix paths.
void count_hit();
void count_miss();

} // namespace vmgpu
