#pragma once
// The synthetic token ids of one agent's swarm step: eight xorshift32 draws
// from a seed made of the agent's previous last id and its list position.
#include <array>
#include <cstdint>
#include <optional>

namespace vivirov {

inline constexpr int kSwarmIdsPerAgent = 8;

// base = (last + 1) × 0x9E3779B1 when the agent has a last id, else
// 0x9E3779B1; x0 = base + list_index × 40503; x(k+1) = xorshift32(x(k))
// (shifts 13 left, 17 right, 5 left); id k = 100 + x(k+1) mod 50000.
std::array<uint32_t, kSwarmIdsPerAgent> swarm_ids(uint32_t list_index, std::optional<uint32_t> last);

} // namespace vivirov
