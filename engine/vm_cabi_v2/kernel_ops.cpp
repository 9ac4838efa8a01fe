#include "kernel_ops.h"

#include <atomic>

namespace vm {

namespace {
std::atomic<const KernelOps*> g_forced{nullptr};
}

const KernelOps& kernel_ops() {
    if (const KernelOps* f = g_forced.load(std::memory_order_relaxed)) return *f;
    static const KernelOps* const best = [] {
        if (const KernelOps* w = avx512_kernel_ops()) return w;
        return avx2_kernel_ops();
    }();
    return best ? *best : portable_kernel_ops();
}

void force_kernel_ops(const KernelOps* ops) { g_forced.store(ops, std::memory_order_relaxed); }

void force_portable_kernels(bool on) { force_kernel_ops(on ? &portable_kernel_ops() : nullptr); }

} // namespace vm
