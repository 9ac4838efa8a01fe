#pragma once
// The Vulkan device the bridge runs on: instance, one compute queue, the
// limits the bridge respects, the one descriptor layout every kernel shares
// (kMaxBindings storage buffers plus push constants), and host-visible or
// host-imported buffers.
#include <vulkan/vulkan.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace vmgpu {

constexpr uint32_t kMaxBindings = 10;
constexpr uint32_t kPushBytes = 128;

struct GpuDevice {
    VkInstance instance = VK_NULL_HANDLE;
    VkPhysicalDevice physical = VK_NULL_HANDLE;
    VkDevice device = VK_NULL_HANDLE;
    VkQueue queue = VK_NULL_HANDLE;
    uint32_t family = 0;
    std::string name;
    uint64_t max_binding = 0;   // largest storage-buffer binding range
    uint64_t offset_align = 16; // binding offsets are multiples of this
    uint64_t max_alloc = 0;
    bool host_import = false;
    uint64_t import_align = 0;
    uint32_t host_memory_type = 0;
    PFN_vkGetMemoryHostPointerPropertiesEXT host_pointer_properties = nullptr;
    VkDescriptorSetLayout set_layout = VK_NULL_HANDLE;
    VkPipelineLayout pipeline_layout = VK_NULL_HANDLE;
    VkCommandPool command_pool = VK_NULL_HANDLE;
};

// Picks the best compute-capable device with timeline semaphores (a CPU-type
// device only with VIVIROV_GPU_ALLOW_CPU=1) and creates what the bridge needs.
// False with nothing created when there is none.
bool create_device(GpuDevice& out);

// A buffer the kernels bind. Host-visible and persistently mapped (`host`),
// or imported from caller memory without a copy.
struct GpuBuffer {
    VkBuffer buffer = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    uint8_t* host = nullptr;
    uint64_t size = 0;
    bool imported = false;
    std::atomic<int> refs{1};
};

GpuBuffer* buffer_create(const GpuDevice& dev, uint64_t size);
// ptr and len must be multiples of the device's import alignment.
GpuBuffer* buffer_import(const GpuDevice& dev, void* ptr, uint64_t len);
void buffer_retain(GpuBuffer* b);
void buffer_release(const GpuDevice& dev, GpuBuffer* b);

} // namespace vmgpu
