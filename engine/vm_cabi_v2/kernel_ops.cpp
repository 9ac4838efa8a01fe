#include "kernel_ops.h"

#include <atomic>

namespace vm {

namespace {
std::atomic<bool> g_force_portable{false};
}

const KernelOps& kernel_ops() {
    static const KernelOps* const best = avx2_kernel_ops();
    if (best && !g_force_portable.load(std::memory_order_relaxed)) return *best;
    return portable_kernel_ops();
}

void force_portable_kernels(bool on) { g_force_portable.store(on, std::memory_order_relaxed); }

} // namespace vm
