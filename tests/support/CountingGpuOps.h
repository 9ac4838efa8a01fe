#pragma once
// A stand-in for the GPU bridge's product calls of the DeepSeek-V4 forward
// object: it counts every call, can refuse registrations, products or batch
// commits, and computes the products it accepts on the CPU (in double, from
// the weight's decoded rows), so that a test sees both which route a product
// took and whether its operands were laid out right.
#include <cstdint>
#include <vector>

#include "engine/zov4/zov4_gpu_ops.h"

namespace vivirov::test {

struct CountingGpu {
    // Injected faults.
    bool refuseRegistration = false;
    bool failProducts = false;
    bool failCommit = false;
    // A batch someone else opened: command_buffer_handle answers non-null.
    bool foreignBatchOpen = false;

    int registrations = 0;
    int products = 0;
    int begins = 0;
    int commits = 0;
    int arenaResets = 0;
    // Per product: whether it came with a registered buffer or host bytes.
    std::vector<bool> productUsedBuffer;
    std::vector<uint32_t> productRows, productInputs;
};

// The shared state behind countingGpuOps(); reset it at the start of a test.
CountingGpu& countingGpu();
void resetCountingGpu();

vm::zov4::GpuOps countingGpuOps();

} // namespace vivirov::test
