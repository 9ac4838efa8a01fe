#pragma once
// One preallocated swap file holding a fixed-size slot per agent: agent a's
// blob lives at a × slot_bytes, slots rounded up to 16 KiB. The map owns the
// open descriptor; the file itself outlives the map unless the owner unlinks
// it.
#include <cstdint>
#include <string>

namespace swarm {

class AgentMemoryMap {
public:
    static constexpr uint64_t kSlotAlign = 16384;

    // Creates or truncates `path` (permissions 0644, never through a symbolic
    // link), preallocates and sizes it. `ok` is false when the file could not
    // be created or sized.
    AgentMemoryMap(const std::string& path, uint64_t n_agents, uint64_t blob_bytes);
    // A new private file (permissions 0600, a name no other process chose) from
    // a mkstemp template such as "/tmp/vm_hud.agent_swap.XXXXXX"; `path` holds
    // the name it got.
    static AgentMemoryMap create_unique(const std::string& path_template, uint64_t n_agents, uint64_t blob_bytes);

    ~AgentMemoryMap();
    AgentMemoryMap(AgentMemoryMap&& other) noexcept;
    AgentMemoryMap& operator=(AgentMemoryMap&&) = delete;
    AgentMemoryMap(const AgentMemoryMap&) = delete;
    AgentMemoryMap& operator=(const AgentMemoryMap&) = delete;

    static uint64_t slot_size(uint64_t blob_bytes) { return (blob_bytes + kSlotAlign - 1) / kSlotAlign * kSlotAlign; }

    int fd = -1;
    bool ok = false;
    uint64_t n_agents = 0;
    uint64_t slot_bytes = 0;
    uint64_t total_bytes = 0;
    std::string path; // set only when ok

private:
    AgentMemoryMap(uint64_t n_agents, uint64_t blob_bytes);
    void size_file(const std::string& name);
};

} // namespace swarm
