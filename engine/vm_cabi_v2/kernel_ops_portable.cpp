// The portable build of the kernel cores: scalar lanes and std::fma.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernel_ops.h"
#include "vm_cabi/half.h"

namespace vm {
namespace kernels_portable {
#define KERNEL_BODY_AVX2 0
#include "kernel_body.inc"
#undef KERNEL_BODY_AVX2
} // namespace kernels_portable

const KernelOps& portable_kernel_ops() {
    static const KernelOps ops = kernels_portable::make_ops("portable");
    return ops;
}

} // namespace vm
