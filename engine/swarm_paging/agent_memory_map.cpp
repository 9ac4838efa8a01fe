#include "swarm_paging/agent_memory_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace swarm {

AgentMemoryMap::AgentMemoryMap(uint64_t agents, uint64_t blob_bytes)
    : n_agents(agents), slot_bytes(slot_size(blob_bytes)), total_bytes(slot_bytes * agents) {}

AgentMemoryMap::AgentMemoryMap(const std::string& file, uint64_t agents, uint64_t blob_bytes)
    : AgentMemoryMap(agents, blob_bytes) {
    fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) size_file(file);
}

AgentMemoryMap AgentMemoryMap::create_unique(const std::string& path_template, uint64_t agents,
                                             uint64_t blob_bytes) {
    AgentMemoryMap map(agents, blob_bytes);
    std::vector<char> name(path_template.begin(), path_template.end());
    name.push_back('\0');
    map.fd = mkostemp(name.data(), O_CLOEXEC);
    if (map.fd >= 0) {
        map.size_file(name.data());
        if (!map.ok) ::unlink(name.data()); // ours alone, and useless unsized
    }
    return map;
}

void AgentMemoryMap::size_file(const std::string& name) {
    // Reserve the blocks up front so page-outs never grow the file; failure
    // is harmless, the length below still makes every slot addressable.
    if (total_bytes > 0 && fallocate(fd, 0, 0, off_t(total_bytes)) != 0)
        (void)posix_fallocate(fd, 0, off_t(total_bytes));
    if (ftruncate(fd, off_t(total_bytes)) != 0) {
        ::close(fd);
        fd = -1;
        return;
    }
    // Linux has no per-descriptor cache switch: transfers drop their pages
    // from the cache after each move (drop_cached).
    ok = true;
    path = name;
}

AgentMemoryMap::AgentMemoryMap(AgentMemoryMap&& o) noexcept
    : fd(o.fd), ok(o.ok), n_agents(o.n_agents), slot_bytes(o.slot_bytes), total_bytes(o.total_bytes),
      path(std::move(o.path)) {
    o.fd = -1;
    o.ok = false;
}

AgentMemoryMap::~AgentMemoryMap() {
    if (fd != -1) ::close(fd);
}

} // namespace swarm
