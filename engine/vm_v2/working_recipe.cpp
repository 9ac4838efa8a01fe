// The engine's default switches, filled once per process where unset; the
// fast-benchmark banner; the core-only model's fixed location.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "common/engine_env.h"
#include "common/engine_log.h"
#include <vm_engine_v2.h>
#include "vm_v2/fast_bench.h"

namespace vm::fast_bench {

bool minimal_mode() {
    return vm::env_switch_on("VIVIROV_BENCH_MINIMAL") || vm::env_switch_on("VIVIROV_FAST_BENCH");
}

void log_once() {
    static bool done = false; // reached only from the recipe's once-body
    if (done || !vm::env_switch_on("VIVIROV_FAST_BENCH")) return;
    done = true;
    double ring = 512;
    if (const auto v = vm::env_value("VIVIROV_UVM_RING_MB"); v && !v->empty()) {
        const double mb = std::atof(v->c_str());
        if (mb >= 1 && mb <= 8192) ring = mb;
    }
    vm::log_line("[FAST_BENCH] VIVIROV_FAST_BENCH=1 ring=%.0f MiB minimal=%d (UVM ring shrink, skip full OM2 "
                 "prewarm, optional MLOCK_WALL=0)",
                 ring, minimal_mode() ? 1 : 0);
}

} // namespace vm::fast_bench

extern "C" void vivirov_vm_v2_apply_working_recipe(void) {
    static std::once_flag once;
    std::call_once(once, [] {
        static const char* const defaults[][2] = {
            {"VIVIROV_MLOCK_WALL", "1"}, {"VIVIROV_AMX_PC", "1"},  {"VIVIROV_QK_AMX_PC", "1"},
            {"VIVIROV_AMX_FULL", "0"},   {"VIVIROV_DENSIFY", "0"}, {"VIVIROV_PROG_F32", "0"},
            {"VIVIROV_SHEXP_F32", "0"},  {"VIVIROV_LM_F32", "0"},
        };
        for (const auto& d : defaults) vm::env_set(d[0], d[1], false);
        if (vm::env_switch_on("VIVIROV_FAST_BENCH")) vm::fast_bench::log_once();
        vm::log_line("[vm_v2] working recipe applied (unset keys only): MLOCK_WALL=1 AMX_PC=1 QK_AMX_PC=1 "
                     "densify/full/prog=0 VIVIROV_SKIP_MLOCK=%s",
                     vm::env_switch_on("VIVIROV_SKIP_MLOCK") ? "1(ring unwired OK for TPS)" : "(unset, strict mlock)");
    });
}

extern "C" const char* vivirov_vm_v2_core_only_model_path(void) {
    static const std::string path = [] {
        const auto home = vm::env_value("HOME");
        if (!home || home->empty()) return std::string();
        return *home + "/models/DeepSeek-V4-Core/ZOV4-Core-Only.gguf";
    }();
    return path.c_str();
}
