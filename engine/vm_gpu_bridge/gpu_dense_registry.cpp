// Named dense weight buffers, registered once and found again by key from any
// engine thread.
#include "vm_gpu.h"

#include "common/engine_env.h"
#include "common/engine_log.h"
#include "gpu_bridge.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

using namespace vmgpu;

namespace {

constexpr size_t kDenseCap = 8192;
constexpr uint64_t kFastBenchCopyLimit = 1048576;
constexpr uint64_t kFastBenchMessages = 24;

struct DenseEntry {
    GpuBuffer* buffer;
    uint64_t nbytes;
    bool zero_copy;
    uint32_t type;
};

std::mutex g_dense_cache_lock;
std::unordered_map<std::string, DenseEntry>& registry() {
    static auto* r = new std::unordered_map<std::string, DenseEntry>; // lives until exit
    return *r;
}
// Buffers replaced by a re-registration stay alive: callers cache the
// borrowed handles they were given.
std::vector<GpuBuffer*>& retired() {
    static auto* r = new std::vector<GpuBuffer*>;
    return *r;
}
std::atomic<uint64_t> g_fast_bench_skips{0};

bool fast_bench() {
    static const bool on = vm::env_switch_on("VIVIROV_FAST_BENCH");
    return on;
}

// One record; false after logging why it failed.
bool register_one(const DenseRegistration& e, bool& zero_copy) {
    if (!ensure_ready()) return false;
    if (!e.key || !e.data || e.nbytes == 0) {
        vm::log_line("[vmb] register_dense(%s): null key/data or zero nbytes — rejected", e.key ? e.key : "(null)");
        return false;
    }
    const GpuDevice& dev = bridge().dev;
    const uint64_t pg = uint64_t(sysconf(_SC_PAGESIZE));
    GpuBuffer* buf = nullptr;
    if (uintptr_t(e.data) % pg == 0 && e.nbytes % pg == 0) {
        buf = buffer_import(dev, const_cast<void*>(e.data), e.nbytes);
        if (!buf)
            vm::log_line("[vmb] register_dense(%s): host memory import returned nil (ptr=%p nbytes=%llu) — falling "
                         "back to owned copy",
                         e.key, e.data, (unsigned long long)e.nbytes);
    }
    zero_copy = buf != nullptr;
    if (!buf) {
        if (e.nbytes > kFastBenchCopyLimit && fast_bench()) {
            if (g_fast_bench_skips.fetch_add(1, std::memory_order_relaxed) < kFastBenchMessages)
                vm::log_line("[FAST_BENCH] skip owned-copy Vulkan reg '%s' %.2f MiB (use CPU dequant)", e.key,
                             double(e.nbytes) / 1048576.0);
            return false;
        }
        buf = buffer_create(dev, e.nbytes);
        if (!buf) {
            vm::log_line("[vmb] register_dense(%s): buffer allocation(%llu) failed — Vulkan allocation error", e.key,
                         (unsigned long long)e.nbytes);
            return false;
        }
        std::memcpy(buf->host, e.data, e.nbytes);
    }
    std::lock_guard<std::mutex> lock(g_dense_cache_lock);
    auto& map = registry();
    auto it = map.find(e.key);
    if (it == map.end() && map.size() >= kDenseCap) {
        vm::log_line("[vmb] register_dense(%s): cache at cap %zu — rejected (would grow unbounded)", e.key, kDenseCap);
        buffer_release(dev, buf);
        return false;
    }
    if (it != map.end()) {
        retired().push_back(it->second.buffer);
        it->second = {buf, e.nbytes, zero_copy, e.type};
    } else {
        map.emplace(e.key, DenseEntry{buf, e.nbytes, zero_copy, e.type});
    }
    return true;
}

} // namespace

extern "C" {

const char* vm_gpu_register_dense_batch(const DenseRegistration* entries, size_t count) {
    if (!entries || count == 0) return "(empty batch)";
    uint64_t total = 0;
    size_t zero_copies = 0, owned = 0;
    for (size_t i = 0; i < count; ++i) {
        bool zero_copy = false;
        if (!register_one(entries[i], zero_copy)) {
            const char* key = entries[i].key;
            vm::log_line("[vmb] register_dense_batch: FAILED on '%s' (index %zu of %zu)", key ? key : "(null)", i,
                         count);
            return key ? key : "(null key)";
        }
        (zero_copy ? zero_copies : owned) += 1;
        total += entries[i].nbytes;
    }
    vm::log_line("[vmb] register_dense_batch: %zu tensors, %.2f GiB total (%zu zero-copy, %zu owned-copy)", count,
                 double(total) / 1073741824.0, zero_copies, owned);
    return nullptr;
}

void* vm_gpu_register_dense(const char* key, const void* data, uint64_t nbytes, uint32_t type) {
    DenseRegistration e{key, data, nbytes, type};
    if (vm_gpu_register_dense_batch(&e, 1) != nullptr) return nullptr;
    return vm_gpu_dense_handle(key);
}

void* vm_gpu_dense_handle(const char* key) {
    if (!key) return nullptr;
    std::lock_guard<std::mutex> lock(g_dense_cache_lock);
    auto it = registry().find(key);
    return it == registry().end() ? nullptr : it->second.buffer;
}

} // extern "C"
