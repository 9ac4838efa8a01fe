#pragma once
// Per-agent blob files, read when no swap file is attached.
#include <cstdint>
#include <string>

#include "blob_io.h"

namespace swarm {

struct KVPager {
    // Reads `bytes` bytes of the file at `path` from offset 0 into dst, keeping
    // them out of the file cache. Returns bytes, 0 for bytes 0, or all ones
    // when the file cannot be opened or a read fails or ends early.
    static uint64_t read_blob_nocache(const std::string& path, void* dst, uint64_t bytes,
                                      BlobIo& io = BlobIo::system());
};

} // namespace swarm
