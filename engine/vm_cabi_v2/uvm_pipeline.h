#pragma once
// Staging of expert slices into the wired ring: stage_expert reads a
// (layer, projection, expert) slice into a ring slot once and hands back its
// place with two event values — the read raises the event to the first, the
// user of the slice raises it to the second when done (signal_done). A
// finished slice stays cached until the ring needs its space; space is
// freed in allocation order (reclaim from 85 % of the ring down to 70 %).
// Staging calls come from one thread at a time.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "expert_slice.h"
#include "nvme_pager.h"
#include "slice_event.h"
#include "uvm_allocator.h"

class GGUFModel;

namespace vm {

class UvmPipeline {
public:
    static constexpr uint64_t kWiredCeiling = 19327352832ULL; // 18 GiB

    struct LRUSlot {
        void* host = nullptr;
        uint64_t ring_offset = 0;
        uint64_t bytes = 0;
        std::shared_future<void> ready;
        uint64_t wait_value = 0;
    };

    // Throws UvmSetupError when the ring cannot be set up. With a GPU device
    // the event is the bridge's shared event and the ring is registered with
    // the bridge as one zero-copy buffer; without one both stay on the CPU.
    UvmPipeline(const GGUFModel& model, const std::string& model_path, int n_layers);
    ~UvmPipeline();
    UvmPipeline(const UvmPipeline&) = delete;
    UvmPipeline& operator=(const UvmPipeline&) = delete;

    // Ring bytes: VIVIROV_UVM_RING_MB when 1-8192 (base 10), else 512 MiB in
    // fast-bench mode, else 8 GiB.
    static uint64_t ring_bytes_from_env();

    int register_layer_tensors(int layer, const GGUFModel& model, long long n_embd, long long expert_ff);
    StagedSlice stage_expert(int layer, ExpertProj proj, int expert);
    // The slice's user is done with it (the CPU counterpart of the GPU's
    // completion signal).
    void signal_done(uint64_t signal_value);
    void flush_all();

    void on_gpu_done_(uint64_t value);
    bool reclaim_oldest_retained_();

    VMUVMAllocator& allocator() { return *alloc_; }
    VMNVMePager& pager() { return *pager_; }
    SliceEvent& event() { return *event_; }
    // The ring as a bridge buffer (null without a GPU device).
    void* ring_buffer() const { return ring_buffer_; }
    size_t cache_size() const;
    size_t inflight_count() const;
    size_t retained_count() const;

private:
    static void gpu_done_thunk_(uint64_t value, void* self);

    std::unique_ptr<SliceEvent> event_;
    std::unique_ptr<VMUVMAllocator> alloc_;
    std::unique_ptr<VMNVMePager> pager_; // destroyed first: its reads finish before the ring goes
    void* ring_buffer_ = nullptr;
    uint64_t next_event_value_ = 0;
    // Completion callbacks registered and not yet run; teardown waits for them.
    std::mutex notify_mu_;
    std::condition_variable notify_cv_;
    int pending_notifies_ = 0;
    mutable std::mutex cache_mu_;
    std::unordered_map<ExpertKey, LRUSlot, ExpertKeyHash> slice_cache_;
    mutable std::mutex handles_mu_;
    std::map<uint64_t, VMNVMePager::Handle> gpu_inflight_, gpu_retained_;
};

} // namespace vm
