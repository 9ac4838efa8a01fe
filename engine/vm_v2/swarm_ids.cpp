#include "vm_v2/swarm_ids.h"

namespace vivirov {

std::array<uint32_t, kSwarmIdsPerAgent> swarm_ids(uint32_t list_index, std::optional<uint32_t> last) {
    constexpr uint32_t kGolden = 0x9E3779B1u;
    uint32_t x = (last ? (*last + 1u) * kGolden : kGolden) + list_index * 40503u;
    std::array<uint32_t, kSwarmIdsPerAgent> ids{};
    for (uint32_t& id : ids) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        id = 100u + x % 50000u;
    }
    return ids;
}

} // namespace vivirov
