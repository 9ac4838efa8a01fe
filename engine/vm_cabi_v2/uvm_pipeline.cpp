#include "vm_cabi_v2/uvm_pipeline.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "common/engine_log.h"
#include "common/engine_env.h"
#include "vm_cabi/gguf_model.h"
#include "vm_gpu.h"

namespace vm {

uint64_t UvmPipeline::ring_bytes_from_env() {
    if (const auto value = env_value("VIVIROV_UVM_RING_MB")) {
        const char* v = value->c_str();
        char* end = nullptr;
        errno = 0;
        const long long mb = std::strtoll(v, &end, 10);
        if (errno == 0 && end != v && mb >= 1 && mb <= 8192) return uint64_t(mb) * 1048576ULL;
    }
    if (env_switch_on("VIVIROV_FAST_BENCH")) return 536870912ULL;
    return 8589934592ULL;
}

namespace {

[[noreturn]] void fatal(const char* line) {
    log_line("%s", line);
    throw UvmSetupError(line);
}

} // namespace

UvmPipeline::UvmPipeline(const GGUFModel& model, const std::string& model_path, int n_layers)
    : alloc_(std::make_unique<VMUVMAllocator>(size_t(ring_bytes_from_env()), size_t(kWiredCeiling))),
      pager_(std::make_unique<VMNVMePager>(model, model_path, *alloc_, n_layers, 4)) {
    slice_cache_.max_load_factor(1.0f);
    if (vm_gpu_bridge_init() == 1) {
        // One event up front proves the device can fence the ring's reads.
        void* ev = vmb_shared_event_create();
        if (!ev) fatal("[FATAL] UvmPipeline: vmb_shared_event_create failed — GPU↔CPU fence unavailable. Aborting.");
        vmb_shared_event_release(ev);
        gpu_ = true;
        const size_t len = (alloc_->capacity() + 16383) / 16384 * 16384;
        ring_buffer_ = vmb_register_uvm_ring(alloc_->base(), len);
        if (!ring_buffer_)
            fatal("[FATAL] UvmPipeline: vmb_register_uvm_ring failed — cannot bind the 8 GiB ring as a zero-copy "
                  "Vulkan buffer. Aborting.");
    }
}

UvmPipeline::~UvmPipeline() {
    pager_.reset(); // every read has landed
    // Release the completion callbacks still waiting (their slices are
    // dropped with the ring) and wait until none can reach this object.
    std::vector<std::pair<std::shared_ptr<SliceEvent>, uint64_t>> open;
    {
        std::lock_guard lock(handles_mu_);
        for (auto& [v, h] : gpu_inflight_) open.emplace_back(h.fence, v);
    }
    for (auto& [fence, v] : open)
        if (fence) fence->signal(v);
    std::unique_lock lock(notify_mu_);
    if (!notify_cv_.wait_for(lock, std::chrono::seconds(10), [&] { return pending_notifies_ == 0; }))
        log_line("[UVM] teardown: %d completion callbacks never ran", pending_notifies_);
    lock.unlock();
    if (ring_buffer_) vm_gpu_buffer_release(ring_buffer_);
}

void UvmPipeline::gpu_done_thunk_(uint64_t, void* watch) {
    auto* w = static_cast<Watch*>(watch);
    UvmPipeline* p = w->pipeline;
    p->on_gpu_done_(w->gpu_done);
    delete w;
    std::lock_guard lock(p->notify_mu_);
    if (--p->pending_notifies_ == 0) p->notify_cv_.notify_all();
}

std::shared_ptr<SliceEvent> UvmPipeline::new_fence_() {
    if (gpu_)
        if (void* ev = vmb_shared_event_create()) return std::make_shared<SliceEvent>(ev);
    // No device (or no event left): a CPU fence; its users wait on the
    // read's future instead of encoding a GPU wait.
    return std::make_shared<SliceEvent>();
}

int UvmPipeline::register_layer_tensors(int layer, const GGUFModel& model, long long n_embd, long long expert_ff) {
    return pager_->register_layer_tensors(layer, model, n_embd, expert_ff);
}

StagedSlice UvmPipeline::stage_new_(const ExpertKey& key, bool may_wait) {
    // Pressure relief: from 85 % of the ring, give back finished slots in
    // staging order down to 70 %.
    const uint64_t cap = alloc_->capacity();
    const uint64_t high = uint64_t(double(cap) * 0.85), low = uint64_t(double(cap) * 0.70);
    if (alloc_->in_use() >= high)
        while (alloc_->in_use() > low && reclaim_oldest_retained_()) {
        }
    const uint64_t wait_value = next_event_value_ + 1, signal_value = next_event_value_ + 2;
    next_event_value_ += 2;
    std::shared_ptr<SliceEvent> fence = new_fence_();
    VMNVMePager::Handle h =
        pager_->fetch_expert_async(key.layer, ExpertProj(key.proj), key.expert, wait_value, fence, may_wait);
    if (!h.host) return {};
    h.signal_value = signal_value;
    h.unclaimed = !may_wait;
    {
        std::lock_guard lock(handles_mu_);
        gpu_inflight_[signal_value] = h;
    }
    {
        std::lock_guard lock(notify_mu_);
        ++pending_notifies_;
    }
    fence->notify(signal_value, &UvmPipeline::gpu_done_thunk_, new Watch{this, signal_value});
    const uint64_t off = uint64_t(static_cast<uint8_t*>(h.host) - alloc_->base());
    {
        std::lock_guard lock(cache_mu_);
        slice_cache_[key] = {h.host, off, h.bytes, h.ready, wait_value};
    }
    return {h.host, off, h.bytes, wait_value, signal_value, true, h.ready, fence};
}

StagedSlice UvmPipeline::stage_expert(int layer, ExpertProj proj, int expert) {
    if (pager_->fault()) {
        log_line("[UVM] stage_expert(%d,%d,%d): pager_fault tripped — aborting stage (refusing to dispatch GPU on "
                 "uninitialized wired memory)",
                 layer, int(proj), expert);
        return {};
    }
    const ExpertKey key{layer, int32_t(proj), expert};
    LRUSlot hit;
    {
        std::lock_guard lock(cache_mu_);
        if (auto it = slice_cache_.find(key); it != slice_cache_.end()) hit = it->second;
    }
    if (!hit.host) return stage_new_(key, true);
    hit.ready.wait();
    // A stage nobody has finished with yet (a prefetch) is finished by this
    // user: it gets the stage's own completion value and fence to raise.
    std::lock_guard lock(handles_mu_);
    const uint64_t done = hit.wait_value + 1;
    if (auto it = gpu_inflight_.find(done); it != gpu_inflight_.end()) {
        it->second.unclaimed = false;
        return {hit.host, hit.ring_offset, hit.bytes, 0, done, true, hit.ready, it->second.fence};
    }
    ++pins_[hit.host];
    return {hit.host, hit.ring_offset, hit.bytes, 0, 0, true, hit.ready, nullptr, true};
}

void UvmPipeline::enqueue_expert_prefetch(int layer, ExpertProj proj, int expert) {
    if (pager_->fault()) return;
    const ExpertKey key{layer, int32_t(proj), expert};
    {
        std::lock_guard lock(cache_mu_);
        if (slice_cache_.count(key)) return;
    }
    stage_new_(key, false);
}

void UvmPipeline::unpin(const StagedSlice& s) {
    if (!s.pinned) return;
    std::lock_guard lock(handles_mu_);
    if (auto it = pins_.find(s.host); it != pins_.end() && --it->second <= 0) pins_.erase(it);
}

bool UvmPipeline::is_staged(int layer, ExpertProj proj, int expert) const {
    std::lock_guard lock(cache_mu_);
    return slice_cache_.count(ExpertKey{layer, int32_t(proj), expert}) != 0;
}

void UvmPipeline::signal_done(uint64_t signal_value) {
    if (signal_value == 0) return;
    std::shared_ptr<SliceEvent> fence;
    {
        std::lock_guard lock(handles_mu_);
        if (auto it = gpu_inflight_.find(signal_value); it != gpu_inflight_.end()) fence = it->second.fence;
    }
    if (fence) fence->signal(signal_value);
}

void UvmPipeline::on_gpu_done_(uint64_t value) {
    std::lock_guard lock(handles_mu_);
    if (auto it = gpu_inflight_.find(value); it != gpu_inflight_.end())
        gpu_retained_.insert(gpu_inflight_.extract(it));
}

bool UvmPipeline::reclaim_oldest_retained_() {
    VMNVMePager::Handle h;
    {
        std::lock_guard lock(handles_mu_);
        const bool inflight_first =
            !gpu_inflight_.empty() &&
            (gpu_retained_.empty() || gpu_inflight_.begin()->first < gpu_retained_.begin()->first);
        auto& from = inflight_first ? gpu_inflight_ : gpu_retained_;
        // The oldest stage may go when it is finished, or when it is a
        // prefetch nobody took: otherwise one unused guess would hold every
        // later slot.
        if (from.empty() || (inflight_first && !from.begin()->second.unclaimed)) return false;
        if (pins_.count(from.begin()->second.host)) return false; // a hit still uses it
        h = from.begin()->second;
        from.erase(from.begin());
    }
    {
        std::lock_guard lock(cache_mu_);
        for (auto it = slice_cache_.begin(); it != slice_cache_.end();)
            it = it->second.host == h.host ? slice_cache_.erase(it) : std::next(it);
    }
    if (h.ready.valid()) h.ready.wait();
    alloc_->release_expert_slot(h.host);
    if (h.unclaimed && h.fence) h.fence->signal(h.signal_value); // ends its completion watch
    return true;
}

void UvmPipeline::flush_all() {
    std::vector<VMNVMePager::Handle> all;
    {
        std::lock_guard lock(handles_mu_);
        pins_.clear();
        std::map<uint64_t, VMNVMePager::Handle> merged = std::move(gpu_inflight_);
        merged.merge(gpu_retained_);
        gpu_inflight_.clear();
        gpu_retained_.clear();
        for (auto& [v, h] : merged) all.push_back(h);
    }
    for (auto& h : all) {
        if (h.ready.valid()) h.ready.wait();
        alloc_->release_expert_slot(h.host);
        // Nothing uses a flushed slice: end its completion watch.
        if (h.fence) h.fence->signal(h.signal_value);
    }
    std::lock_guard lock(cache_mu_);
    slice_cache_.clear();
}

size_t UvmPipeline::cache_size() const {
    std::lock_guard lock(cache_mu_);
    return slice_cache_.size();
}

size_t UvmPipeline::inflight_count() const {
    std::lock_guard lock(handles_mu_);
    return gpu_inflight_.size();
}

size_t UvmPipeline::retained_count() const {
    std::lock_guard lock(handles_mu_);
    return gpu_retained_.size();
}

} // namespace vm
