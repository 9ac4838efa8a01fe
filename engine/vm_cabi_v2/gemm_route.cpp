#include "gemm_route.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ggml_blocks.h"

namespace vm::apex {

namespace {

// −1 until read; racing first readers store the same value.
std::atomic<int> g_amx_full{-1}, g_amx_pc{-1}, g_qk_pc{-1};

bool amx_pc_on() {
    int v = g_amx_pc.load(std::memory_order_relaxed);
    if (v < 0) {
        const char* e = std::getenv("VIVIROV_AMX_PC");
        v = (e && e[0] == '0') ? 0 : 1;
        g_amx_pc.store(v, std::memory_order_relaxed);
    }
    return v == 1;
}

bool amx_full_on() {
    int v = g_amx_full.load(std::memory_order_relaxed);
    if (v < 0) {
        const char* e = std::getenv("VIVIROV_AMX_FULL");
        v = (e && e[0] == '1') ? 1 : 0;
        g_amx_full.store(v, std::memory_order_relaxed);
    }
    return v == 1;
}

bool qk_pc_on() {
    int v = g_qk_pc.load(std::memory_order_relaxed);
    if (v < 0) {
        const char* e = std::getenv("VIVIROV_QK_AMX_PC");
        v = (e && std::strcmp(e, "0") == 0) ? 0 : (amx_pc_on() ? 1 : 0);
        g_qk_pc.store(v, std::memory_order_relaxed);
    }
    return v == 1;
}

} // namespace

GemmRoute gemm_route(uint32_t type, int32_t N, int32_t K, int32_t M) {
    if (M == 1) return GemmRoute::gemv;
    if (type == kGgmlF32 && N >= 64) return GemmRoute::f32_sgemm;
    if (K % 32 == 0 && type == kGgmlQ8_0 && amx_full_on() && N >= 64 && K >= 32 &&
        int64_t(K) * int64_t(N) <= 67108864)
        return GemmRoute::amx_full;
    if (K % 32 == 0 && type == kGgmlQ8_0 && amx_pc_on() && N >= 64 && K >= 64) return GemmRoute::amx_pc;
    if (K % 256 == 0 && (type == kGgmlQ4_K || type == kGgmlQ5_K || type == kGgmlQ6_K) && qk_pc_on() && N >= 64 &&
        K >= 256)
        return GemmRoute::qk_pc;
    return GemmRoute::fused_rows;
}

const char* gemm_route_name(GemmRoute route) {
    switch (route) {
    case GemmRoute::gemv: return "gemv";
    case GemmRoute::f32_sgemm: return "f32_sgemm";
    case GemmRoute::amx_full: return "amx_full";
    case GemmRoute::amx_pc: return "amx_pc";
    case GemmRoute::qk_pc: return "qk_pc";
    case GemmRoute::fused_rows: return "fused_rows";
    }
    return "?";
}

} // namespace vm::apex
