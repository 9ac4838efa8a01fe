// Shared events (timeline semaphores) and their listener thread.
#include "gpu_shared_event.h"

#include "vm_gpu.h"

#include "common/engine_log.h"
#include "gpu_bridge.h"

#include <pthread.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

using namespace vmgpu;

namespace {

struct Notification {
    SharedEvent* event;
    uint64_t value;
    void (*fn)(uint64_t, void*);
    void* ctx;
};

// The serial "vm.uvm.event" thread: runs each notification once its event
// reaches the value, one at a time, in registration order among the ready.
class Listener {
public:
    Listener() : thread_([this] { run(); }) {}

    // Ends the thread before the process's static destructors run (the
    // Vulkan driver's among them).
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stopping_ = true;
        }
        cv_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    void add(const Notification& n) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            pending_.push_back(n);
        }
        cv_.notify_one();
    }
    void poke() { cv_.notify_one(); }

private:
    void run() {
        pthread_setname_np(pthread_self(), "vm.uvm.event");
        const VkDevice dev = bridge().dev.device;
        for (;;) {
            std::vector<Notification> due;
            {
                std::unique_lock<std::mutex> lock(mu_);
                if (stopping_) return;
                cv_.wait_for(lock, std::chrono::milliseconds(pending_.empty() ? 1000 : 1));
                if (stopping_) return;
                for (size_t i = 0; i < pending_.size();) {
                    uint64_t now = 0;
                    vkGetSemaphoreCounterValue(dev, pending_[i].event->semaphore, &now);
                    if (now >= pending_[i].value) {
                        due.push_back(pending_[i]);
                        pending_.erase(pending_.begin() + long(i));
                    } else {
                        ++i;
                    }
                }
            }
            for (const Notification& n : due) {
                uint64_t now = 0;
                vkGetSemaphoreCounterValue(dev, n.event->semaphore, &now);
                n.fn(now, n.ctx);
                event_release(n.event);
            }
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Notification> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

std::mutex g_listener_lock;
Listener* g_listener = nullptr; // created with the first event, lives until exit

Listener* listener() {
    std::lock_guard<std::mutex> lock(g_listener_lock);
    return g_listener;
}

} // namespace

namespace vmgpu {

void event_retain(SharedEvent* ev) {
    if (ev) ev->refs.fetch_add(1, std::memory_order_relaxed);
}

void event_release(SharedEvent* ev) {
    if (!ev || ev->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    vkDestroySemaphore(bridge().dev.device, ev->semaphore, nullptr);
    delete ev;
}

} // namespace vmgpu

extern "C" {

void* vmb_shared_event_create(void) {
    if (!ensure_ready()) return nullptr;
    VkSemaphoreTypeCreateInfo ti{VK_STRUCTURE_TYPE_SEMAPHORE_TYPE_CREATE_INFO};
    ti.semaphoreType = VK_SEMAPHORE_TYPE_TIMELINE;
    ti.initialValue = 0;
    VkSemaphoreCreateInfo ci{VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO, &ti};
    VkSemaphore sem;
    if (vkCreateSemaphore(bridge().dev.device, &ci, nullptr, &sem) != VK_SUCCESS) {
        vm::log_line("[vmb] timeline semaphore creation failed");
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_listener_lock);
        if (!g_listener) {
            g_listener = new Listener;
            std::atexit([] { g_listener->stop(); });
        }
    }
    auto* ev = new SharedEvent;
    ev->semaphore = sem;
    return ev;
}

void vmb_shared_event_release(void* ev) { event_release(static_cast<SharedEvent*>(ev)); }

void vmb_shared_event_signal(void* ev, uint64_t value) {
    auto* e = static_cast<SharedEvent*>(ev);
    if (!e) return;
    uint64_t now = 0;
    const VkDevice dev = bridge().dev.device;
    if (vkGetSemaphoreCounterValue(dev, e->semaphore, &now) != VK_SUCCESS || value <= now) return;
    VkSemaphoreSignalInfo si{VK_STRUCTURE_TYPE_SEMAPHORE_SIGNAL_INFO};
    si.semaphore = e->semaphore;
    si.value = value;
    vkSignalSemaphore(dev, &si);
    if (Listener* l = listener()) l->poke();
}

void vmb_shared_event_notify(void* ev, uint64_t value, void (*fn)(uint64_t value, void* ctx), void* ctx) {
    auto* e = static_cast<SharedEvent*>(ev);
    Listener* l = listener();
    if (!e || !fn || !l) return;
    event_retain(e);
    l->add({e, value, fn, ctx});
}

} // extern "C"
