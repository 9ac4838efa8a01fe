#pragma once
// Shared events are timeline semaphores; the listener is one serial thread,
// "vm.uvm.event", that runs notifications when their value is reached.
#include <vulkan/vulkan.h>

#include <atomic>
#include <cstdint>

namespace vmgpu {

struct SharedEvent {
    VkSemaphore semaphore = VK_NULL_HANDLE;
    std::atomic<int> refs{1};
};

void event_retain(SharedEvent* ev);
void event_release(SharedEvent* ev);

} // namespace vmgpu
