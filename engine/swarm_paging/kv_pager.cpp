#include "swarm_paging/kv_pager.h"

#include <fcntl.h>
#include <unistd.h>

namespace swarm {

uint64_t KVPager::read_blob_nocache(const std::string& path, void* dst, uint64_t bytes, BlobIo& io) {
    if (bytes == 0) return 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ~uint64_t(0);
    const bool ok = transfer_all(io, Transfer::Read, fd, dst, bytes, 0);
    drop_cached(fd, 0, bytes);
    ::close(fd);
    return ok ? bytes : ~uint64_t(0);
}

} // namespace swarm
