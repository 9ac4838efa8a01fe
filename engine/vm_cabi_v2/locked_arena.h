#pragma once
// Wired host memory under the expert ring: 16 KiB aligned, advised as
// needed soon, and locked. Under strict wiring a refused lock fails the
// construction (UvmSetupError) after its message; for EAGAIN and ENOMEM the
// message is the saturation banner.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vm {

class LockedArena {
public:
    static constexpr size_t kAlign = 16384;

    LockedArena(size_t size, bool, bool strict);
    ~LockedArena();
    LockedArena(const LockedArena&) = delete;
    LockedArena& operator=(const LockedArena&) = delete;

    void* base = nullptr;
    uint64_t size = 0;
    int mlock_rc = -1;
    int mlock_errno = 0;
    bool owned = false;

    bool wired() const { return mlock_rc == 0; }
};

// The saturation banner for a refused lock of `size` bytes with errno `err`.
std::string saturation_banner(int err, size_t size);

} // namespace vm
