#pragma once
// How the om2 hybrid product mixes its int8 residual into the low-rank
// result: mode 1 scales the residual to the low-rank output's energy
// (times lambda, clamped to 0.05…8), any other mode uses alpha_fixed; rho > 0
// caps the result's RMS at rho times the low-rank RMS. Process-wide values,
// written at set-up before any forward pass starts and read by the kernels.
#include <cstdint>

namespace vm::apex {

int32_t& g_evs_mode();        // 1
float& g_evs_lambda();        // 1.0
float& g_evs_rho();           // 3.0
float& g_evs_alpha_fixed();   // 1.0

} // namespace vm::apex
