#pragma once
// The 8×8 tile paths of the quantised products (two-pass and fused lane),
// shared by the typed entry points.
#include <cstddef>
#include <cstdint>

namespace vmgpu {

struct GpuBuffer;

// The switches, each read once per process.
bool small_n_allowed();
bool fused_lane_enabled();

// Synchronous fused lane (types 12, 8); false with a batch open. A GPU error
// logs the type's fallback line.
bool fused_lane_sync(unsigned type, GpuBuffer* a_buf, size_t a_off, const void* a_host, size_t a_bytes,
                     const float* b, float* c, uint32_t M, uint32_t K, uint32_t N);
// Synchronous two-pass product (types 12, 14, 8); a GPU error counts a miss.
bool two_pass_sync(unsigned type, GpuBuffer* a_buf, size_t a_off, const void* a_host, size_t a_bytes,
                   const float* b, float* c, uint32_t M, uint32_t K, uint32_t N);
// Batched fused lane (types 12, 8) into the open batch.
bool fused_lane_batched(unsigned type, GpuBuffer* a_buf, size_t a_off, const void* a_host, size_t a_bytes,
                        const float* b, float* c, uint32_t M, uint32_t K, uint32_t N);

} // namespace vmgpu
