#include "vm_cabi_v2/uvm_allocator.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "common/engine_log.h"
#include "common/engine_env.h"
#include "vm_cabi_v2/expert_slice.h"

namespace vm {

namespace {

bool skip_mlock() {
    return env_switch_on("VIVIROV_SKIP_MLOCK");
}

uint64_t round64(uint64_t n) { return (n + 63) & ~uint64_t(63); }

[[noreturn]] void fail(const char* fmt, double a, double b) {
    char msg[320];
    std::snprintf(msg, sizeof msg, fmt, a, b);
    log_line("%s", msg);
    throw UvmSetupError(msg);
}

} // namespace

VMUVMAllocator::VMUVMAllocator(size_t capacity, size_t ceiling)
    : capacity_(round64(capacity)), strict_wire_(!skip_mlock()), arena_(capacity_, true, strict_wire_) {
    if (capacity_ > ceiling)
        fail("[FATAL] VMUVMAllocator capacity %.2f GiB exceeds the %.2f GiB wired ceiling — refusing to construct "
             "(would risk the 18 GiB budget).",
             double(capacity_) / 1073741824.0, double(ceiling) / 1073741824.0);
    if (!arena_.base) {
        char msg[160];
        std::snprintf(msg, sizeof msg, "[FATAL] VMUVMAllocator: posix_memalign(%zu B) failed — no arena. Aborting.",
                      size_t(capacity_));
        log_line("%s", msg);
        throw UvmSetupError(msg);
    }
    if (!arena_.wired())
        log_line("[WARN] VMUVMAllocator: ring unwired (VIVIROV_SKIP_MLOCK=1) mlock errno=%d — TPS measurement only; "
                 "not production-safe.",
                 arena_.mlock_errno);
}

void* VMUVMAllocator::allocate_expert_slot(size_t bytes, size_t* out_offset, bool wait) {
    const uint64_t n = round64(bytes);
    if (n == 0 || n > capacity_) {
        log_line("[VMUVM] slot request %zu B does not fit ring capacity %zu B", size_t(n), size_t(capacity_));
        return nullptr;
    }
    std::unique_lock lock(mu_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(slot_wait_ms_);
    for (;;) {
        if (head_ + n <= capacity_ && in_use_ + n <= capacity_) {
            const uint64_t at = head_;
            regions_.push_back({at, n, false});
            in_use_ += n;
            head_ += n;
            if (out_offset) *out_offset = size_t(at);
            return base() + at;
        }
        if (head_ + n > capacity_ && in_use_ + n <= head_) {
            regions_.push_back({head_, capacity_ - head_, true});
            regions_.push_back({0, n, false});
            in_use_ += (capacity_ - head_) + n;
            head_ = n;
            if (out_offset) *out_offset = 0;
            return base();
        }
        if (!wait) return nullptr;
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && std::chrono::steady_clock::now() >= deadline) {
            log_line("[VMUVM] slot request %zu B timed out after %d ms: every slot is still held", size_t(n),
                     slot_wait_ms_);
            return nullptr;
        }
    }
}

void VMUVMAllocator::release_expert_slot(void* host) {
    std::lock_guard lock(mu_);
    while (!regions_.empty() && regions_.front().filler) {
        in_use_ -= regions_.front().bytes;
        regions_.pop_front();
    }
    if (regions_.empty()) {
        log_line("[VMUVM] release with no outstanding slot — double free?");
        return;
    }
    const Region& oldest = regions_.front();
    void* oldest_host = base() + oldest.offset;
    if (oldest_host != host) {
        log_line("[VMUVM] FIFO violation: released %p, oldest live slot is %p — the MoE chunk allocate/release order "
                 "was broken.",
                 host, oldest_host);
        return;
    }
    in_use_ -= oldest.bytes;
    regions_.pop_front();
    cv_.notify_all();
}

uint64_t VMUVMAllocator::in_use() const {
    std::lock_guard lock(mu_);
    return in_use_;
}

size_t VMUVMAllocator::live_regions() const {
    std::lock_guard lock(mu_);
    size_t n = 0;
    for (const Region& r : regions_) n += r.filler ? 0 : 1;
    return n;
}

} // namespace vm
