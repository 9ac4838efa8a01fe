#pragma once
// The body of vmswarm_run_paging_diagnostic, with the directory of its swap
// file as a parameter so tests can point it at a place that cannot hold one.
#include <cstdint>
#include <string>

#include "vm_swarm.h"

namespace swarm {

int32_t run_paging_diagnostic(const std::string& dir, int32_t n_agents, int32_t tokens, int32_t window,
                              int32_t n_out, int32_t cycles, VMSwarmStats* out);

} // namespace swarm
