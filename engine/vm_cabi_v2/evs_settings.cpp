#include "vm_cabi_v2/evs_settings.h"

namespace vm::apex {

int32_t& g_evs_mode() {
    static int32_t v = 1;
    return v;
}
float& g_evs_lambda() {
    static float v = 1.0f;
    return v;
}
float& g_evs_rho() {
    static float v = 3.0f;
    return v;
}
float& g_evs_alpha_fixed() {
    static float v = 1.0f;
    return v;
}

} // namespace vm::apex
