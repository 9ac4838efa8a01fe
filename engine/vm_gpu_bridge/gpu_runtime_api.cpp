// Flat functions of the bridge runtime: initialisation, buffers, the arena,
// batches and the sanitiser.
#include "vm_gpu.h"

#include "common/engine_log.h"
#include "gpu_bridge.h"
#include "gpu_shared_event.h"

#include <cmath>
#include <cstring>
#include <unistd.h>

using namespace vmgpu;

namespace {

GpuBuffer* wrap_host(void* ptr, size_t len, const char* unaligned_fmt, const char* failed_msg) {
    if (!ptr || len == 0) return nullptr;
    if (!ensure_ready()) return nullptr;
    const unsigned long pg = (unsigned long)sysconf(_SC_PAGESIZE);
    if (uintptr_t(ptr) % pg != 0 || len % pg != 0) {
        vm::log_line(unaligned_fmt, pg);
        return nullptr;
    }
    GpuBuffer* b = buffer_import(bridge().dev, ptr, len);
    if (!b) vm::log_line("%s", failed_msg);
    return b;
}

} // namespace

extern "C" {

int vm_gpu_bridge_init(void) { return ensure_ready() ? 1 : 0; }

bool vmb_fusion_available(void) { return ensure_ready() && bridge().fusion; }

void* vm_gpu_buffer_nocopy(void* ptr, size_t len) {
    return wrap_host(ptr, len, "[vmb] nocopy: ptr/len not page-aligned (pg=%lu) — refusing (would not be zero-copy)",
                     "[vmb] host memory import returned nil");
}

void vm_gpu_buffer_release(void* buf) {
    if (buf) buffer_release(bridge().dev, static_cast<GpuBuffer*>(buf));
}

void* vmb_persistent_alloc(size_t n) {
    if (n == 0 || !ensure_ready()) return nullptr;
    GpuBuffer* b = buffer_create(bridge().dev, n);
    if (!b) vm::log_line("[vmb] persistent_alloc(%zu) failed", n);
    return b;
}

void vmb_persistent_free(void* buf) { vm_gpu_buffer_release(buf); }

void* vmb_persistent_contents(void* buf) { return buf ? static_cast<GpuBuffer*>(buf)->host : nullptr; }

void* vmb_register_uvm_ring(void* base, size_t len) {
    GpuBuffer* b = wrap_host(base, len, "[vmb] UVM ring not page-aligned (pg=%lu) — refusing zero-copy bind",
                             "[vmb] UVM ring host memory import returned nil");
    if (!b) return nullptr;
    BridgeState& s = bridge();
    GpuBuffer* old = s.ring;
    buffer_retain(b); // one reference for the bridge, one for the caller
    s.ring = b;
    if (old) buffer_release(s.dev, old);
    return b;
}

void vmb_arena_reset(void) { bridge().arena_offset = 0; }

void vmb_command_buffer_begin(void) {
    BridgeState& s = bridge();
    if (!s.ready.load(std::memory_order_acquire) || s.batch) return;
    auto batch = std::make_unique<Batch>();
    batch->submission = std::make_unique<Submission>(s.dev);
    if (!batch->submission->ok()) return;
    s.batch = std::move(batch);
}

bool vmb_command_buffer_commit_and_wait(void) {
    BridgeState& s = bridge();
    if (!s.batch) return true;
    std::unique_ptr<Batch> batch = std::move(s.batch); // no batch is open from here on
    if (!batch->submission->submit_and_wait()) return false;
    breathe();
    for (const BatchCopy& c : batch->copies) {
        std::memcpy(c.dst, c.src->host + c.off, c.len);
        if (c.len > 0 && c.len % 4 == 0) vmb_sanitize_f32(static_cast<float*>(c.dst), c.len / 4);
    }
    return true;
}

void* vmb_command_buffer_handle(void) { return bridge().batch.get(); }

void vmb_barrier(void) {
    if (Batch* b = open_batch()) b->submission->barrier();
}

void vmb_command_buffer_encode_wait(void* cb, void* event, uint64_t value) {
    Batch* b = open_batch();
    if (!event || !b || (cb && cb != b)) return;
    b->submission->wait_event(static_cast<SharedEvent*>(event), value);
}

void vmb_command_buffer_encode_signal(void* cb, void* event, uint64_t value) {
    Batch* b = open_batch();
    if (!event || !b || (cb && cb != b)) return;
    b->submission->signal_event(static_cast<SharedEvent*>(event), value);
}

bool vmb_supports_gpu_fences(void) { return !bridge().fence_disable; }

void vmb_sanitize_f32(float* p, size_t n) {
    if (!p) return;
    for (size_t i = 0; i < n; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &p[i], 4);
        if ((bits & 0x7F800000u) == 0x7F800000u) p[i] = 0.0f;
    }
}

void vmb_set_ui_breath_us(uint32_t us) { bridge().breath_us.store(us < kMaxBreathUs ? us : kMaxBreathUs); }

} // extern "C"
