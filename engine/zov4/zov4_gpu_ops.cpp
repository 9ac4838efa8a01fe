#include "zov4/zov4_gpu_ops.h"

#include "vm_gpu.h"

namespace vm::zov4 {

GpuOps GpuOps::bridge() {
    GpuOps ops;
    ops.register_dense = vm_gpu_register_dense;
    ops.matmul_q8_0 = vm_gpu_matmul_q8_0;
    ops.matmul_q4_k = vm_gpu_matmul_q4_k;
    ops.matmul_q6_k = vm_gpu_matmul_q6_k;
    ops.command_buffer_handle = vmb_command_buffer_handle;
    ops.arena_reset = vmb_arena_reset;
    ops.command_buffer_begin = vmb_command_buffer_begin;
    ops.command_buffer_commit_and_wait = vmb_command_buffer_commit_and_wait;
    return ops;
}

} // namespace vm::zov4
