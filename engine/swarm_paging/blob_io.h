#pragma once
// Positioned whole-buffer transfers for agents' KV blobs, behind a seam of the
// three system calls they make so tests can script interrupted, busy, short
// and failed calls.
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>

namespace swarm {

class BlobIo {
public:
    virtual ~BlobIo() = default;
    virtual ssize_t preadv(int fd, const struct iovec* iov, int iovcnt, off_t offset) = 0;
    virtual ssize_t pwritev(int fd, const struct iovec* iov, int iovcnt, off_t offset) = 0;
    virtual void sleep_us(uint32_t us) = 0;

    // The real calls; shared by every user, stateless.
    static BlobIo& system();
};

enum class Transfer { Read, Write };

// Moves all n bytes between buf and the file at offset with single-buffer
// vector calls, going on after partial transfers. An interrupted call (EINTR)
// is repeated at once; a busy one (EAGAIN) after sleeping 100 µs × the retry
// number, at most 64 times, the count restarting after any progress. False on
// any other error, a call that moves 0 bytes, the 65th busy answer, or an
// offset beyond the file offset range.
bool transfer_all(BlobIo& io, Transfer dir, int fd, void* buf, uint64_t n, uint64_t offset);

// Asks the kernel to drop the file's cached pages of the range, so that paging
// blobs neither fills nor evicts the system's file cache. Best effort.
void drop_cached(int fd, uint64_t offset, uint64_t n);

} // namespace swarm
