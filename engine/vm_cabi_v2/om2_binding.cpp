#include "vm_cabi_v2/om2_binding.h"

#include <sys/stat.h>

#include <cstdlib>

#include "common/engine_log.h"
#include "common/engine_env.h"

namespace vm::apex {

namespace {

bool is_regular(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_dir(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string resolve_om2_dir() {
    if (auto env = env_value("VEZEV_OM2_DIR"); env && !env->empty()) return *env;
    const std::string home = env_value("HOME").value_or("");
    const std::string a = home + "/models/DeepSeek-V4-VezevV2-derov/experts";
    const std::string b = home + "/models/DeepSeek-V4-Core/om2";
    if (is_regular(a + "/up_L00_E000.om2")) return a;
    if (is_regular(b + "/up_L00_E000.om2")) return b;
    return is_dir(a) ? a : b;
}

int bind_om2_dir(Om2Registry& reg, ActiveSetTracker& tracker, Om2Switches& sw, const std::string& dir,
                 unsigned long budget_bytes) {
    const uint64_t budget = budget_bytes == 0 ? Om2Registry::kDefaultBudget : uint64_t(budget_bytes);
    reg.set_budget(budget);
    tracker.byte_budget = budget;
    tracker.max_entries = 256;
    tracker.bias.set_capacity(256);
    if (!reg.load_dir(dir)) return 0;
    sw.om2_bound = true;
    sw.om2_prefer_only = true;
    sw.om2_residual = false;
    if (env_starts_with_1("VIVIROV_OM2_QUALITY")) {
        sw.om2_prefer_only = false;
        sw.om2_residual = true;
    }
    log_line("[PHASE17] om2 LAZY dir bound path=%s budget=%.1f MiB (get_or_load faults packs from NVMe; "
             "residual=%s prefer_only=%s)",
             dir.c_str(), double(budget) / 1048576.0, sw.om2_residual ? "ON" : "OFF",
             sw.om2_prefer_only ? "ON" : "OFF");
    reg.start_prefetcher();
    log_line("[PHASE4] om2 prefetcher daemon started ring_cap=%zu", Om2Registry::kRingCapacity);
    return 1;
}

int prewarm_om2_expert(Om2Registry& reg, ActiveSetTracker& tracker, const Om2Switches& sw, int n_layer,
                       int expert) {
    if (expert < 0 || !sw.om2_bound) return 0;
    int count = 0;
    for (int il = 0; il < n_layer; ++il)
        for (char p : {'u', 'g', 'd'})
            if (reg.get_or_load(il, expert, p)) {
                tracker.on_routed(il, expert, 11010048ULL);
                ++count;
            }
    log_line("[PHASE17] prewarm expert=%d packs_loaded=%d resident=%.2f MiB", expert, count,
             double(reg.resident_bytes()) / 1048576.0);
    return count;
}

} // namespace vm::apex
