// The x86-64 vector build of the kernel cores (AVX2, FMA, F16C), compiled
// for those features only inside this file and chosen at run time.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernel_ops.h"
#include "vm_cabi/half.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma,f16c"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma,f16c")
#endif
namespace vm {
namespace kernels_avx2 {
#define KERNEL_BODY_AVX2 1
#include "kernel_body.inc"
#undef KERNEL_BODY_AVX2
} // namespace kernels_avx2
} // namespace vm
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace vm {
const KernelOps* avx2_kernel_ops() {
    static const KernelOps* const ops = []() -> const KernelOps* {
        __builtin_cpu_init();
        // F16C is read from CPUID itself: not every compiler knows its feature name.
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        const bool f16c = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C);
        if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma") || !f16c) return nullptr;
        static const KernelOps table = kernels_avx2::make_ops("avx2");
        return &table;
    }();
    return ops;
}
} // namespace vm
#else
namespace vm {
const KernelOps* avx2_kernel_ops() { return nullptr; }
} // namespace vm
#endif
