#pragma once
// A BlobIo whose calls follow a script: each scripted step either fails with
// an errno, returns 0, or passes to the real call moving at most `limit`
// bytes. Calls past the script pass through whole. Sleeps are recorded, not
// slept.
#include "engine/swarm_paging/blob_io.h"

#include <cerrno>
#include <deque>
#include <mutex>
#include <vector>

namespace swarmtest {

struct IoStep {
    int err = 0;       // errno to fail with, 0 for none
    bool eof = false;  // return 0
    size_t limit = 0;  // pass through moving at most this many bytes (0: all)
};

class ScriptedBlobIo final : public swarm::BlobIo {
public:
    void script(std::vector<IoStep> steps) {
        std::lock_guard<std::mutex> lock(mu);
        for (auto& s : steps) pending.push_back(s);
    }
    void fail_all_writes(int err) { write_err = err; }

    ssize_t preadv(int fd, const struct iovec* iov, int n, off_t off) override { return call(false, fd, iov, n, off); }
    ssize_t pwritev(int fd, const struct iovec* iov, int n, off_t off) override { return call(true, fd, iov, n, off); }
    void sleep_us(uint32_t us) override {
        std::lock_guard<std::mutex> lock(mu);
        sleeps.push_back(us);
    }

    std::vector<uint32_t> sleeps;
    int calls = 0;

private:
    ssize_t call(bool write, int fd, const struct iovec* iov, int n, off_t off) {
        IoStep s;
        {
            std::lock_guard<std::mutex> lock(mu);
            ++calls;
            if (write && write_err) {
                errno = write_err;
                return -1;
            }
            if (!pending.empty()) {
                s = pending.front();
                pending.pop_front();
            }
        }
        if (s.err) {
            errno = s.err;
            return -1;
        }
        if (s.eof) return 0;
        struct iovec one = iov[0];
        if (s.limit && s.limit < one.iov_len) one.iov_len = s.limit;
        (void)n;
        return write ? ::pwritev(fd, &one, 1, off) : ::preadv(fd, &one, 1, off);
    }

    std::mutex mu;
    std::deque<IoStep> pending;
    int write_err = 0;
};

} // namespace swarmtest
