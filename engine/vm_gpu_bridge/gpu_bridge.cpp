#include "gpu_bridge.h"

#include "common/engine_log.h"
#include "shader_library.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace vmgpu {

namespace {

std::mutex g_init_lock;
std::atomic<int> g_failing_submits{0};
std::atomic<bool> g_fail_as_lost{false};
std::atomic<uint64_t> g_hits{0};
std::atomic<uint64_t> g_misses{0};

const char* result_text(VkResult r) {
    switch (r) {
    case VK_ERROR_OUT_OF_HOST_MEMORY: return "out of host memory";
    case VK_ERROR_OUT_OF_DEVICE_MEMORY: return "out of device memory";
    case VK_ERROR_INITIALIZATION_FAILED: return "initialization failed";
    case VK_ERROR_DEVICE_LOST: return "device lost";
    case VK_ERROR_INVALID_SHADER_NV: return "invalid shader";
    default: return "Vulkan error";
    }
}

// The loaded shader modules, by kernel (null when the kernel has none).
using Modules = std::array<VkShaderModule, kKernelCount>;

bool load_modules(const GpuDevice& dev, Modules& modules) {
    modules.fill(VK_NULL_HANDLE);
    for (size_t i = 0; i < kKernelCount; ++i) {
        const char* name = kernel_name(Kernel(i));
        std::span<const uint32_t> words = module_words(name);
        if (words.empty()) continue; // reported as a missing function
        std::string why;
        if (!spirv_module_valid(words, why)) {
            vm::log_line("[vmb] shader compile failed: %s: %s", name, why.c_str());
            return false;
        }
        VkShaderModuleCreateInfo ci{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
        ci.codeSize = words.size() * 4;
        ci.pCode = words.data();
        VkResult r = vkCreateShaderModule(dev.device, &ci, nullptr, &modules[i]);
        if (r != VK_SUCCESS) {
            vm::log_line("[vmb] shader compile failed: %s: %s", name, result_text(r));
            return false;
        }
    }
    return true;
}

VkResult build_pipeline(const GpuDevice& dev, VkShaderModule module, VkPipeline& out) {
    VkComputePipelineCreateInfo ci{VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
    ci.stage = {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO};
    ci.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    ci.stage.module = module;
    ci.stage.pName = "main";
    ci.layout = dev.pipeline_layout;
    VkResult r = vkCreateComputePipelines(dev.device, VK_NULL_HANDLE, 1, &ci, nullptr, &out);
    if (r != VK_SUCCESS) out = VK_NULL_HANDLE;
    return r;
}

// An optional kernel: a missing one is logged and the bridge goes on.
void build_optional(BridgeState& s, const Modules& modules, Kernel k) {
    const char* name = kernel_name(k);
    if (!modules[size_t(k)]) {
        vm::log_line("[vmb] %s function missing", name);
        return;
    }
    VkResult r = build_pipeline(s.dev, modules[size_t(k)], s.pipelines[size_t(k)]);
    if (r != VK_SUCCESS) vm::log_line("[vmb] %s pipeline build failed: %s", name, result_text(r));
}

bool initialise(BridgeState& s) {
    if (!create_device(s.dev)) {
        vm::log_line("[vmb] no Vulkan device");
        return false;
    }
    s.dummy = buffer_create(s.dev, 16);
    if (!s.dummy) {
        vm::log_line("[vmb] no Vulkan device");
        return false;
    }
    Modules modules;
    if (!load_modules(s.dev, modules)) return false;
    const Kernel required[] = {Kernel::kv_score, Kernel::cold_gemv};
    for (Kernel k : required) {
        if (!modules[size_t(k)]) {
            vm::log_line("[vmb] missing kernel function");
            return false;
        }
    }
    for (Kernel k : required) {
        if (build_pipeline(s.dev, modules[size_t(k)], s.pipelines[size_t(k)]) != VK_SUCCESS) {
            vm::log_line("[vmb] pipeline build failed");
            return false;
        }
    }
    // A missing arena is not an error: every arena request then fails and
    // the operations take their other routes.
    s.arena = buffer_create(s.dev, kArenaBytes);
    s.arena_size = s.arena ? kArenaBytes : 0;
    s.arena_offset = 0;

    if (!modules[size_t(Kernel::matmul_tiled)]) {
        vm::log_line("[vmb] matmul_tiled function missing");
    } else {
        VkResult r = build_pipeline(s.dev, modules[size_t(Kernel::matmul_tiled)],
                                    s.pipelines[size_t(Kernel::matmul_tiled)]);
        if (r != VK_SUCCESS) vm::log_line("[vmb] matmul pipeline build failed: %s", result_text(r));
    }
    for (size_t i = size_t(Kernel::matmul_q4_k); i < kKernelCount; ++i) {
        build_optional(s, modules, Kernel(i));
        if (Kernel(i) == Kernel::fused_q8_lane_sg)
            vm::log_line("[vmb] HOLY_GRAIL fused_q4k_lane=%s fused_q8_lane=%s (VIVIROV_FUSED_LANE opt-out=0)",
                         has(Kernel::fused_q4k_lane_sg) ? "YES" : "NO", has(Kernel::fused_q8_lane_sg) ? "YES" : "NO");
        if (Kernel(i) == Kernel::argmax_logits) {
            const Kernel fused[] = {Kernel::rmsnorm,     Kernel::rope_bias,   Kernel::add_bias_k,
                                    Kernel::gqa_attention, Kernel::silu_mul,  Kernel::residual_add,
                                    Kernel::argmax_logits, Kernel::matmul_q5_0, Kernel::matmul_q8_0,
                                    Kernel::matmul_q4_k, Kernel::matmul_q6_k};
            s.fusion = true;
            for (Kernel f : fused) s.fusion = s.fusion && has(f);
        }
    }
    for (VkShaderModule m : modules)
        if (m) vkDestroyShaderModule(s.dev.device, m, nullptr);
    apply_device_name(s.dev.name.c_str());
    return true;
}

} // namespace

BridgeState& bridge() {
    static BridgeState* s = new BridgeState; // lives until exit, never torn down
    return *s;
}

bool ensure_ready() {
    BridgeState& s = bridge();
    if (s.ready.load(std::memory_order_acquire)) return true;
    std::lock_guard<std::mutex> lock(g_init_lock);
    if (s.attempted.load(std::memory_order_relaxed)) return s.ready.load(std::memory_order_relaxed);
    s.attempted.store(true, std::memory_order_relaxed); // a failed initialisation is never retried
    bool ok = initialise(s);
    s.ready.store(ok, std::memory_order_release);
    return ok;
}

VkPipeline pipeline(Kernel k) { return bridge().pipelines[size_t(k)]; }
bool has(Kernel k) { return pipeline(k) != VK_NULL_HANDLE; }

Batch* open_batch() { return bridge().batch.get(); }

bool arena_slot(uint64_t n, uint64_t& offset) {
    BridgeState& s = bridge();
    uint64_t start = (s.arena_offset + kArenaSlotAlign - 1) / kArenaSlotAlign * kArenaSlotAlign;
    if (!s.arena || start > s.arena_size || n > s.arena_size - start) return false;
    s.arena_offset = start + n;
    offset = start;
    return true;
}

void breathe() {
    uint32_t us = bridge().breath_us.load(std::memory_order_relaxed);
    if (us) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

void mark_device_lost() {
    BridgeState& s = bridge();
    if (s.ready.exchange(false)) vm::log_line("[vmb] Vulkan device lost — GPU bridge unavailable, CPU routes from now on");
    s.fusion = false;
}

void apply_device_name(const char* name) {
    BridgeState& s = bridge();
    s.fence_disable = std::strstr(name, "Apple M") != nullptr;
    if (s.fence_disable)
        vm::log_line("[vmb] Apple Silicon detected (\"%s\") — GPU semaphore waits DISABLED to avoid AGX driver panic; "
                     "using CPU Handle::wait() fallback.",
                     name);
    else
        vm::log_line("[vmb] Non-Apple-Silicon GPU (\"%s\") — GPU semaphore waits ENABLED.", name);
}

void fail_submissions_for_testing(int count, bool lost) {
    g_fail_as_lost.store(lost);
    g_failing_submits.store(count);
}

VkResult injected_submit_result() {
    int left = g_failing_submits.load();
    while (left > 0 && !g_failing_submits.compare_exchange_weak(left, left - 1)) {
    }
    if (left <= 0) return VK_SUCCESS;
    return g_fail_as_lost.load() ? VK_ERROR_DEVICE_LOST : VK_ERROR_OUT_OF_DEVICE_MEMORY;
}

void count_hit() { g_hits.fetch_add(1, std::memory_order_relaxed); }
void count_miss() { g_misses.fetch_add(1, std::memory_order_relaxed); }

} // namespace vmgpu

extern "C" void vmb_sg_stats(uint64_t* hits, uint64_t* misses) {
    if (hits) *hits = vmgpu::g_hits.load(std::memory_order_relaxed);
    if (misses) *misses = vmgpu::g_misses.load(std::memory_order_relaxed);
}
