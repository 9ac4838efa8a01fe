#pragma once
// The header of the F32 wall file: 4096 bytes, little-endian, before the
// payload of every entry's floats.
//    0  magic 0x4453463332573031    8  entry count    16  payload bytes
//   24  version 1
//   32 + 32·j  entry j: rows, cols, element count, element offset
//   4088  identity of the model the copies came from
// Entries stop before the identity, so the header never outgrows its 4096
// bytes: at most 126 entries.
#include <cstdint>
#include <vector>

#include "../vm_cabi/gguf_file.h"

namespace vm::zov4 {

// One matrix of the wall: its Q8_0 tensor and shape.
struct F32WallItem {
    const GGUFTensor* t = nullptr;
    int64_t rows = 0;
    int64_t cols = 0;
    const char* tag = "";
};

struct F32WallFile {
    static constexpr uint64_t kMagic = 0x4453463332573031ULL;
    static constexpr uint64_t kHeaderBytes = 4096;
    static constexpr size_t kMaxEntries = 126;
    static constexpr uint64_t kIdentityOffset = 4088;

    struct Entry {
        uint64_t rows = 0;
        uint64_t cols = 0;
    };

    // Payload bytes of the entries: 4 × Σ rows·cols.
    static uint64_t payload_bytes(const std::vector<Entry>& entries);
    // Element offset of entry j in the payload.
    static uint64_t element_offset(const std::vector<Entry>& entries, size_t j);
    // Writes the whole header into h (4096 bytes).
    static void write_header(uint8_t* h, const std::vector<Entry>& entries, uint64_t identity);
    // True when h describes exactly these entries of this model.
    static bool matches(const uint8_t* h, const std::vector<Entry>& entries, uint64_t identity);
};

} // namespace vm::zov4
