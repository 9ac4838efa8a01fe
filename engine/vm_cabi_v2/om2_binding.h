#pragma once
// Choosing and binding a model's om2 directory, and prewarming one expert's
// packs. The forward object owns the registry, the tracker and the switches
// and calls these with its own members.
#include <cstdint>
#include <string>

#include "active_set_tracker.h"
#include "om2_registry.h"

namespace vm::apex {

// The forward object's om2 switches; the mixture-of-experts layer adds the
// residual only when om2_residual is set and om2_prefer_only is not.
struct Om2Switches {
    bool om2_bound = false;
    bool om2_prefer_only = true;
    bool om2_residual = false;
};

// VEZEV_OM2_DIR when set and not empty; else the first of
// HOME/models/DeepSeek-V4-VezevV2-derov/experts and
// HOME/models/DeepSeek-V4-Core/om2 that holds up_L00_E000.om2; else the first
// one when it is a directory; else the second. Never fails.
std::string resolve_om2_dir();

// 1 bound, 0 not (a directory that is empty once trailing separators go).
// A budget of 0 means 1.5 GiB. Starts the prefetcher.
int bind_om2_dir(Om2Registry& reg, ActiveSetTracker& tracker, Om2Switches& sw, const std::string& dir,
                 unsigned long budget_bytes);

// Loads the up, gate and down packs of `expert` in every layer; the number
// obtained (0 without a bind or for a negative expert).
int prewarm_om2_expert(Om2Registry& reg, ActiveSetTracker& tracker, const Om2Switches& sw, int n_layer,
                       int expert);

} // namespace vm::apex
