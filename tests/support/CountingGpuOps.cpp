#include "tests/support/CountingGpuOps.h"

#include <deque>
#include <vector>

#include "engine/vm_cabi/gguf_file.h"
#include "engine/vm_cabi_v2/dequant.h"

namespace vivirov::test {

namespace {

CountingGpu state;
bool batchOpen = false;

struct FakeBuffer {
    const void* data;
};
std::deque<FakeBuffer> buffers; // stable addresses

void* registerDense(const char*, const void* data, uint64_t, uint32_t) {
    ++state.registrations;
    if (state.refuseRegistration) return nullptr;
    buffers.push_back({data});
    return &buffers.back();
}

template <uint32_t Type>
bool product(void* a_buf, size_t a_off, const void* a_host, size_t, void*, size_t, const float* b, float* c, uint32_t M,
             uint32_t K, uint32_t N) {
    ++state.products;
    state.productUsedBuffer.push_back(a_buf != nullptr);
    state.productRows.push_back(M);
    state.productInputs.push_back(N);
    if (state.failProducts) return false;
    const auto* w = static_cast<const uint8_t*>(a_buf ? static_cast<FakeBuffer*>(a_buf)->data : a_host) + a_off;
    uint64_t per = 0, bytes = 0;
    gguf::block_geometry(Type, per, bytes);
    std::vector<float> row(K);
    for (uint32_t m = 0; m < M; ++m) {
        vm::dequant_tensor(Type, w + uint64_t(m) * (K / per) * bytes, row.data(), K);
        for (uint32_t n = 0; n < N; ++n) {
            double s = 0;
            for (uint32_t k = 0; k < K; ++k) s += double(row[k]) * double(b[uint64_t(k) * N + n]);
            c[uint64_t(m) * N + n] = float(s);
        }
    }
    return true;
}

void* handle() { return (batchOpen || state.foreignBatchOpen) ? &state : nullptr; }
void arenaReset() { ++state.arenaResets; }
void begin() {
    ++state.begins;
    batchOpen = true;
}
bool commit() {
    ++state.commits;
    batchOpen = false;
    return !state.failCommit;
}

} // namespace

CountingGpu& countingGpu() { return state; }

void resetCountingGpu() {
    state = CountingGpu{};
    batchOpen = false;
}

vm::zov4::GpuOps countingGpuOps() {
    vm::zov4::GpuOps ops;
    ops.register_dense = registerDense;
    ops.matmul_q8_0 = product<8>;
    ops.matmul_q4_k = product<12>;
    ops.matmul_q6_k = product<14>;
    ops.command_buffer_handle = handle;
    ops.arena_reset = arenaReset;
    ops.command_buffer_begin = begin;
    ops.command_buffer_commit_and_wait = commit;
    return ops;
}

} // namespace vivirov::test
