#include "zov4/f32_wall_file.h"

#include <cstring>

namespace vm::zov4 {

namespace {

void put(uint8_t* h, uint64_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) h[at + uint64_t(i)] = uint8_t(v >> (8 * i));
}

uint64_t get(const uint8_t* h, uint64_t at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t(h[at + uint64_t(i)]) << (8 * i);
    return v;
}

} // namespace

uint64_t F32WallFile::payload_bytes(const std::vector<Entry>& entries) {
    return 4 * element_offset(entries, entries.size());
}

uint64_t F32WallFile::element_offset(const std::vector<Entry>& entries, size_t j) {
    uint64_t off = 0;
    for (size_t i = 0; i < j && i < entries.size(); ++i) off += entries[i].rows * entries[i].cols;
    return off;
}

void F32WallFile::write_header(uint8_t* h, const std::vector<Entry>& entries, uint64_t identity) {
    std::memset(h, 0, kHeaderBytes);
    put(h, 0, kMagic);
    put(h, 8, entries.size());
    put(h, 16, payload_bytes(entries));
    put(h, 24, 1);
    for (size_t j = 0; j < entries.size() && j < kMaxEntries; ++j) {
        const uint64_t at = 32 + 32 * uint64_t(j);
        put(h, at, entries[j].rows);
        put(h, at + 8, entries[j].cols);
        put(h, at + 16, entries[j].rows * entries[j].cols);
        put(h, at + 24, element_offset(entries, j));
    }
    put(h, kIdentityOffset, identity);
}

bool F32WallFile::matches(const uint8_t* h, const std::vector<Entry>& entries, uint64_t identity) {
    if (entries.size() > kMaxEntries || get(h, 0) != kMagic || get(h, 8) != entries.size() ||
        get(h, 16) != payload_bytes(entries) || get(h, 24) != 1 || get(h, kIdentityOffset) != identity)
        return false;
    for (size_t j = 0; j < entries.size(); ++j) {
        const uint64_t at = 32 + 32 * uint64_t(j);
        if (get(h, at) != entries[j].rows || get(h, at + 8) != entries[j].cols ||
            get(h, at + 16) != entries[j].rows * entries[j].cols || get(h, at + 24) != element_offset(entries, j))
            return false;
    }
    return true;
}

} // namespace vm::zov4
