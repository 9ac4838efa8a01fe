#pragma once
// The GPU bridge calls the forward pass's weight products make, as a table
// of function pointers: the model takes the bridge's own functions, and a
// test can put counting or failing stand-ins in their place.
#include <cstddef>
#include <cstdint>

namespace vm::zov4 {

struct GpuOps {
    using QuantMatmul = bool (*)(void* a_buf, size_t a_off, const void* a_host, size_t a_bytes, void* b_buf,
                                 size_t b_off, const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N);

    void* (*register_dense)(const char* key, const void* data, uint64_t nbytes, uint32_t type) = nullptr;
    QuantMatmul matmul_q8_0 = nullptr;
    QuantMatmul matmul_q4_k = nullptr;
    QuantMatmul matmul_q6_k = nullptr;
    void* (*command_buffer_handle)() = nullptr;
    void (*arena_reset)() = nullptr;
    void (*command_buffer_begin)() = nullptr;
    bool (*command_buffer_commit_and_wait)() = nullptr;

    // The table of the process's GPU bridge.
    static GpuOps bridge();
};

} // namespace vm::zov4
