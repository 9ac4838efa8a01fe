#include "swarm_paging/blob_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

namespace swarm {

namespace {

class SystemBlobIo final : public BlobIo {
public:
    ssize_t preadv(int fd, const struct iovec* iov, int iovcnt, off_t offset) override {
        return ::preadv(fd, iov, iovcnt, offset);
    }
    ssize_t pwritev(int fd, const struct iovec* iov, int iovcnt, off_t offset) override {
        return ::pwritev(fd, iov, iovcnt, offset);
    }
    void sleep_us(uint32_t us) override { usleep(us); }
};

constexpr int kMaxBusyRetries = 64;
constexpr uint32_t kBusyBackoffUs = 100;

} // namespace

BlobIo& BlobIo::system() {
    static SystemBlobIo io;
    return io;
}

bool transfer_all(BlobIo& io, Transfer dir, int fd, void* buf, uint64_t n, uint64_t offset) {
    constexpr uint64_t kMaxOff = uint64_t(std::numeric_limits<off_t>::max());
    if (offset > kMaxOff || n > kMaxOff - offset) return false;
    auto* p = static_cast<uint8_t*>(buf);
    uint64_t done = 0;
    int busy = 0;
    while (done < n) {
        struct iovec iov {
            p + done, size_t(n - done)
        };
        const off_t at = off_t(offset + done);
        const ssize_t got = dir == Transfer::Read ? io.preadv(fd, &iov, 1, at) : io.pwritev(fd, &iov, 1, at);
        if (got > 0) {
            done += uint64_t(got);
            busy = 0;
            continue;
        }
        if (got == 0) return false;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (++busy > kMaxBusyRetries) return false;
            io.sleep_us(kBusyBackoffUs * uint32_t(busy));
            continue;
        }
        return false;
    }
    return true;
}

void drop_cached(int fd, uint64_t offset, uint64_t n) {
    (void)posix_fadvise(fd, off_t(offset), off_t(n), POSIX_FADV_DONTNEED);
}

} // namespace swarm
