#pragma once
// Staging of expert slices into the wired ring: stage_expert reads a
// (layer, projection, expert) slice into a ring slot once and hands back its
// place with two values of the slice's own fence — its read raises the fence
// to the first (read-done), the user of the slice raises it to the second
// (GPU-done) when done. Each stage has a fence of its own because reads end
// out of order: on one shared timeline a later read would release the GPU's
// wait for an earlier, unfinished one, and a later completion would retire
// stages still in use. A stage retires only on its own GPU-done. A finished
// slice stays cached until the ring needs its space; space is freed in
// staging order (reclaim from 85 % of the ring down to 70 %). Staging and
// prefetch calls come from one thread at a time.
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
    // the fences are the bridge's shared events (timeline semaphores) and
    // the ring is registered with the bridge as one zero-copy buffer; without
    // one both stay on the CPU.
    UvmPipeline(const GGUFModel& model, const std::string& model_path, int n_layers);
    ~UvmPipeline();
    UvmPipeline(const UvmPipeline&) = delete;
    UvmPipeline& operator=(const UvmPipeline&) = delete;

    // Ring bytes: VIVIROV_UVM_RING_MB when 1-8192 (base 10), else 512 MiB in
    // fast-bench mode, else 8 GiB.
    static uint64_t ring_bytes_from_env();

    int register_layer_tensors(int layer, const GGUFModel& model, long long n_embd, long long expert_ff);
    // Stages the slice (or finds it staged) and waits for a cached one.
    StagedSlice stage_expert(int layer, ExpertProj proj, int expert);
    // Starts staging a slice that is not staged yet and returns at once;
    // nothing after a failed read, nor when the ring has no room now (a
    // guess never waits for space).
    void enqueue_expert_prefetch(int layer, ExpertProj proj, int expert);
    // The slice's user is done with it (the CPU counterpart of the GPU's
    // completion signal).
    void signal_done(uint64_t signal_value);
    // Lets the ring reuse a pinned hit's slot again.
    void unpin(const StagedSlice& s);
    // Whether a slice is staged (read started or done, not yet reclaimed).
    bool is_staged(int layer, ExpertProj proj, int expert) const;
    void flush_all();

    // Retires the in-flight stage whose own GPU-done value is `value`.
    void on_gpu_done_(uint64_t value);
    bool reclaim_oldest_retained_();

    VMUVMAllocator& allocator() { return *alloc_; }
    VMNVMePager& pager() { return *pager_; }
    bool gpu_fences() const { return gpu_; }
    // The ring as a bridge buffer (null without a GPU device).
    void* ring_buffer() const { return ring_buffer_; }
    size_t cache_size() const;
    size_t inflight_count() const;
    size_t retained_count() const;

private:
    struct Watch {
        UvmPipeline* pipeline;
        uint64_t gpu_done;
    };
    static void gpu_done_thunk_(uint64_t value, void* watch);
    std::shared_ptr<SliceEvent> new_fence_();
    // Staging proper: a new slot, its read, its in-flight record and cache
    // entry; ok false when no slot could be had (at once when !may_wait).
    StagedSlice stage_new_(const ExpertKey& key, bool may_wait);

    bool gpu_ = false;
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
    std::unordered_map<void*, int> pins_; // slot -> hits still in use (under handles_mu_)
};

} // namespace vm
