#include "vm_cabi_v2/tile_rings.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "common/engine_log.h"

namespace vm::vezev {

VezevTileRing::VezevTileRing(size_t slots_wanted, size_t floats) : n_slots(slots_wanted < 1 ? 1 : slots_wanted) {
    slot_floats = floats;
    if (n_slots * slot_floats * 4 > kCapBytes) {
        slot_floats = slots_wanted > 16384 ? 4096 : kCapBytes / n_slots / 4;
        log_line("[vezev] VezevTileRing capped: slots=%zu slot_floats=%zu (~%.1f MiB)", size_t(n_slots),
                 size_t(slot_floats), double(n_slots * slot_floats * 4) / 1048576.0);
    }
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    bytes = (n_slots * slot_floats * 4 + page - 1) / page * page;
    if (bytes == 0) bytes = page;
    void* p = nullptr;
    if (::posix_memalign(&p, page, bytes) != 0) throw std::bad_alloc();
    base = static_cast<float*>(p);
    std::memset(base, 0, bytes);
    wired_ = ::mlock(base, bytes) == 0;
    if (!wired_) log_line("[vezev] VezevTileRing mlock soft-fail (continuing unlocked)");
    slots.resize(n_slots);
    for (uint64_t i = 0; i < n_slots; ++i) slots[i].data = base + i * slot_floats;
}

VezevTileRing::~VezevTileRing() {
    if (wired_) ::munlock(base, bytes);
    std::free(base);
}

VezevTileRing::Slot& VezevTileRing::take() { return slots[next++ % n_slots]; }

} // namespace vm::vezev

namespace vm::ane_dec {

DecompressRing::DecompressRing(size_t n, size_t each) : n_slots(n), slot_bytes(each), slots(n), buffer(n * each, 0) {
    for (size_t i = 0; i < n; ++i) {
        slots[i].data = buffer.data() + i * each;
        slots[i].size = each;
    }
}

} // namespace vm::ane_dec
