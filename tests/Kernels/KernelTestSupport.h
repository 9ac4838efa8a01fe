#pragma once
// Helpers shared by the kernel tests: running a check under each kernel
// build (vector and portable) and comparing floats bit for bit.
#include <cstring>
#include <vector>

#include "engine/vm_cabi_v2/kernel_ops.h"

namespace vivirov::test {

// The builds this CPU can run: the portable one, and the vector one when present.
inline std::vector<vm::KernelOps> kernelBuilds() {
    std::vector<vm::KernelOps> out{vm::portable_kernel_ops()};
    if (const vm::KernelOps* v = vm::avx2_kernel_ops()) out.push_back(*v);
    return out;
}

// Makes the engine use the given build for its lifetime.
class ScopedKernels {
public:
    explicit ScopedKernels(const vm::KernelOps& ops) {
        vm::force_portable_kernels(ops.widen_f16 == vm::portable_kernel_ops().widen_f16);
    }
    ~ScopedKernels() { vm::force_portable_kernels(false); }
    ScopedKernels(const ScopedKernels&) = delete;
    ScopedKernels& operator=(const ScopedKernels&) = delete;
};

inline bool bitsEqual(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

} // namespace vivirov::test
