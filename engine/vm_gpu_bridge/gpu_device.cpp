#include "gpu_device.h"

#include "common/engine_env.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace vmgpu {

namespace {

bool cpu_devices_allowed() {
    return vm::env_value("VIVIROV_GPU_ALLOW_CPU") == std::optional<std::string>("1");
}

int type_rank(VkPhysicalDeviceType t) {
    switch (t) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return 4;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return 3;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return 2;
    case VK_PHYSICAL_DEVICE_TYPE_CPU: return 1;
    default: return 0;
    }
}

bool has_extension(VkPhysicalDevice pd, const char* name) {
    uint32_t n = 0;
    vkEnumerateDeviceExtensionProperties(pd, nullptr, &n, nullptr);
    std::vector<VkExtensionProperties> exts(n);
    vkEnumerateDeviceExtensionProperties(pd, nullptr, &n, exts.data());
    for (const auto& e : exts)
        if (std::strcmp(e.extensionName, name) == 0) return true;
    return false;
}

// A compute queue family, or -1.
int compute_family(VkPhysicalDevice pd) {
    uint32_t n = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(pd, &n, nullptr);
    std::vector<VkQueueFamilyProperties> fams(n);
    vkGetPhysicalDeviceQueueFamilyProperties(pd, &n, fams.data());
    for (uint32_t i = 0; i < n; ++i)
        if (fams[i].queueFlags & VK_QUEUE_COMPUTE_BIT) return int(i);
    return -1;
}

bool timeline_semaphores(VkPhysicalDevice pd) {
    VkPhysicalDeviceVulkan12Features f12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
    VkPhysicalDeviceFeatures2 f{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2, &f12};
    vkGetPhysicalDeviceFeatures2(pd, &f);
    return f12.timelineSemaphore == VK_TRUE;
}

// Host-visible, coherent memory, cached when the device offers it (results
// are read back by the CPU).
int host_memory_type(VkPhysicalDevice pd, uint32_t allowed) {
    VkPhysicalDeviceMemoryProperties mp;
    vkGetPhysicalDeviceMemoryProperties(pd, &mp);
    const VkMemoryPropertyFlags need = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    int best = -1;
    for (uint32_t i = 0; i < mp.memoryTypeCount; ++i) {
        if (!(allowed & (1u << i)) || (mp.memoryTypes[i].propertyFlags & need) != need) continue;
        if (best < 0) best = int(i);
        if (mp.memoryTypes[i].propertyFlags & VK_MEMORY_PROPERTY_HOST_CACHED_BIT) return int(i);
    }
    return best;
}

void destroy(GpuDevice& d) {
    if (d.command_pool) vkDestroyCommandPool(d.device, d.command_pool, nullptr);
    if (d.pipeline_layout) vkDestroyPipelineLayout(d.device, d.pipeline_layout, nullptr);
    if (d.set_layout) vkDestroyDescriptorSetLayout(d.device, d.set_layout, nullptr);
    if (d.device) vkDestroyDevice(d.device, nullptr);
    if (d.instance) vkDestroyInstance(d.instance, nullptr);
    d = GpuDevice{};
}

} // namespace

bool create_device(GpuDevice& d) {
    VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
    app.pApplicationName = "vivirov";
    app.apiVersion = VK_API_VERSION_1_2;
    VkInstanceCreateInfo ici{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
    ici.pApplicationInfo = &app;
    if (vkCreateInstance(&ici, nullptr, &d.instance) != VK_SUCCESS) {
        d.instance = VK_NULL_HANDLE;
        return false;
    }
    uint32_t n = 0;
    vkEnumeratePhysicalDevices(d.instance, &n, nullptr);
    std::vector<VkPhysicalDevice> pds(n);
    vkEnumeratePhysicalDevices(d.instance, &n, pds.data());
    const bool allow_cpu = cpu_devices_allowed();
    int best_rank = 0;
    for (VkPhysicalDevice pd : pds) {
        VkPhysicalDeviceProperties props;
        vkGetPhysicalDeviceProperties(pd, &props);
        int rank = type_rank(props.deviceType);
        if (props.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU && !allow_cpu) continue;
        if (props.apiVersion < VK_API_VERSION_1_2 || compute_family(pd) < 0 || !timeline_semaphores(pd)) continue;
        if (rank > best_rank) {
            best_rank = rank;
            d.physical = pd;
        }
    }
    if (!d.physical) {
        destroy(d);
        return false;
    }

    VkPhysicalDeviceProperties props;
    vkGetPhysicalDeviceProperties(d.physical, &props);
    VkPhysicalDeviceMaintenance3Properties m3{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MAINTENANCE_3_PROPERTIES};
    VkPhysicalDeviceExternalMemoryHostPropertiesEXT hostp{
        VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_EXTERNAL_MEMORY_HOST_PROPERTIES_EXT, &m3};
    d.host_import = has_extension(d.physical, VK_EXT_EXTERNAL_MEMORY_HOST_EXTENSION_NAME);
    VkPhysicalDeviceProperties2 p2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2, d.host_import ? (void*)&hostp : (void*)&m3};
    vkGetPhysicalDeviceProperties2(d.physical, &p2);
    d.name = props.deviceName;
    d.max_binding = props.limits.maxStorageBufferRange;
    d.offset_align = props.limits.minStorageBufferOffsetAlignment ? props.limits.minStorageBufferOffsetAlignment : 1;
    d.max_alloc = m3.maxMemoryAllocationSize;
    d.import_align = d.host_import ? hostp.minImportedHostPointerAlignment : 0;
    d.family = uint32_t(compute_family(d.physical));
    int mt = host_memory_type(d.physical, ~0u);
    if (mt < 0) {
        destroy(d);
        return false;
    }
    d.host_memory_type = uint32_t(mt);

    float prio = 1.0f;
    VkDeviceQueueCreateInfo qci{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
    qci.queueFamilyIndex = d.family;
    qci.queueCount = 1;
    qci.pQueuePriorities = &prio;
    VkPhysicalDeviceVulkan12Features f12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
    f12.timelineSemaphore = VK_TRUE;
    const char* exts[2] = {VK_EXT_EXTERNAL_MEMORY_HOST_EXTENSION_NAME, VK_KHR_EXTERNAL_MEMORY_EXTENSION_NAME};
    VkDeviceCreateInfo dci{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO, &f12};
    dci.queueCreateInfoCount = 1;
    dci.pQueueCreateInfos = &qci;
    dci.enabledExtensionCount = d.host_import ? 1 : 0;
    dci.ppEnabledExtensionNames = exts;
    if (vkCreateDevice(d.physical, &dci, nullptr, &d.device) != VK_SUCCESS) {
        d.device = VK_NULL_HANDLE;
        destroy(d);
        return false;
    }
    vkGetDeviceQueue(d.device, d.family, 0, &d.queue);
    if (d.host_import)
        d.host_pointer_properties = reinterpret_cast<PFN_vkGetMemoryHostPointerPropertiesEXT>(
            vkGetDeviceProcAddr(d.device, "vkGetMemoryHostPointerPropertiesEXT"));
    d.host_import = d.host_pointer_properties != nullptr;

    VkDescriptorSetLayoutBinding binds[kMaxBindings];
    for (uint32_t i = 0; i < kMaxBindings; ++i)
        binds[i] = {i, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr};
    VkDescriptorSetLayoutCreateInfo sli{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    sli.bindingCount = kMaxBindings;
    sli.pBindings = binds;
    VkPushConstantRange pcr{VK_SHADER_STAGE_COMPUTE_BIT, 0, kPushBytes};
    VkCommandPoolCreateInfo cpi{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    cpi.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    cpi.queueFamilyIndex = d.family;
    if (vkCreateDescriptorSetLayout(d.device, &sli, nullptr, &d.set_layout) != VK_SUCCESS ||
        vkCreateCommandPool(d.device, &cpi, nullptr, &d.command_pool) != VK_SUCCESS) {
        destroy(d);
        return false;
    }
    VkPipelineLayoutCreateInfo pli{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    pli.setLayoutCount = 1;
    pli.pSetLayouts = &d.set_layout;
    pli.pushConstantRangeCount = 1;
    pli.pPushConstantRanges = &pcr;
    if (vkCreatePipelineLayout(d.device, &pli, nullptr, &d.pipeline_layout) != VK_SUCCESS) {
        destroy(d);
        return false;
    }
    return true;
}

namespace {

GpuBuffer* bind_buffer(const GpuDevice& dev, uint64_t size, VkDeviceMemory mem, const void* next, uint8_t* host,
                       bool imported) {
    VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO, next};
    bi.size = size;
    bi.usage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT;
    bi.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    VkBuffer buf;
    if (vkCreateBuffer(dev.device, &bi, nullptr, &buf) != VK_SUCCESS) return nullptr;
    if (vkBindBufferMemory(dev.device, buf, mem, 0) != VK_SUCCESS) {
        vkDestroyBuffer(dev.device, buf, nullptr);
        return nullptr;
    }
    auto* b = new GpuBuffer;
    b->buffer = buf;
    b->memory = mem;
    b->host = host;
    b->size = size;
    b->imported = imported;
    return b;
}

} // namespace

GpuBuffer* buffer_create(const GpuDevice& dev, uint64_t size) {
    // Whole 16-byte units: kernels read byte-addressed weights as 32-bit words.
    size = (size + 15) / 16 * 16;
    if (size == 0 || (dev.max_alloc && size > dev.max_alloc)) return nullptr;
    VkMemoryAllocateInfo ai{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    ai.allocationSize = size;
    ai.memoryTypeIndex = dev.host_memory_type;
    VkDeviceMemory mem;
    if (vkAllocateMemory(dev.device, &ai, nullptr, &mem) != VK_SUCCESS) return nullptr;
    void* host = nullptr;
    if (vkMapMemory(dev.device, mem, 0, VK_WHOLE_SIZE, 0, &host) != VK_SUCCESS) {
        vkFreeMemory(dev.device, mem, nullptr);
        return nullptr;
    }
    GpuBuffer* b = bind_buffer(dev, size, mem, nullptr, static_cast<uint8_t*>(host), false);
    if (!b) vkFreeMemory(dev.device, mem, nullptr);
    return b;
}

GpuBuffer* buffer_import(const GpuDevice& dev, void* ptr, uint64_t len) {
    if (!dev.host_import || !ptr || len == 0 || (dev.max_alloc && len > dev.max_alloc)) return nullptr;
    if (uintptr_t(ptr) % dev.import_align != 0 || len % dev.import_align != 0) return nullptr;
    const auto handle = VK_EXTERNAL_MEMORY_HANDLE_TYPE_HOST_ALLOCATION_BIT_EXT;
    VkMemoryHostPointerPropertiesEXT hp{VK_STRUCTURE_TYPE_MEMORY_HOST_POINTER_PROPERTIES_EXT};
    if (dev.host_pointer_properties(dev.device, handle, ptr, &hp) != VK_SUCCESS) return nullptr;
    int mt = host_memory_type(dev.physical, hp.memoryTypeBits);
    if (mt < 0) return nullptr;
    VkImportMemoryHostPointerInfoEXT imp{VK_STRUCTURE_TYPE_IMPORT_MEMORY_HOST_POINTER_INFO_EXT};
    imp.handleType = handle;
    imp.pHostPointer = ptr;
    VkMemoryAllocateInfo ai{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO, &imp};
    ai.allocationSize = len;
    ai.memoryTypeIndex = uint32_t(mt);
    VkDeviceMemory mem;
    if (vkAllocateMemory(dev.device, &ai, nullptr, &mem) != VK_SUCCESS) return nullptr;
    VkExternalMemoryBufferCreateInfo ext{VK_STRUCTURE_TYPE_EXTERNAL_MEMORY_BUFFER_CREATE_INFO};
    ext.handleTypes = handle;
    GpuBuffer* b = bind_buffer(dev, len, mem, &ext, static_cast<uint8_t*>(ptr), true);
    if (!b) vkFreeMemory(dev.device, mem, nullptr);
    return b;
}

void buffer_retain(GpuBuffer* b) {
    if (b) b->refs.fetch_add(1, std::memory_order_relaxed);
}

void buffer_release(const GpuDevice& dev, GpuBuffer* b) {
    if (!b || b->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    vkDestroyBuffer(dev.device, b->buffer, nullptr);
    if (!b->imported) vkUnmapMemory(dev.device, b->memory);
    vkFreeMemory(dev.device, b->memory, nullptr);
    delete b;
}

} // namespace vmgpu
