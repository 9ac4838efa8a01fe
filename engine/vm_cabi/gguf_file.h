#pragma once
// One GGUF (or CGUF) model file, memory-mapped read-only and parsed once.
//
// Layout, all integers little-endian and packed:
//   magic "GGUF"/"CGUF" | u32 version (2, 3) | u64 tensor count | u64 kv count
//   kv entries | tensor infos | padding to the alignment | data section to EOF
// Only metadata and tensor infos are parsed; weight bytes stay in the lazy
// mapping and are never copied or touched here.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace gguf {

// Metadata value types.
enum : uint32_t {
    kTypeU8 = 0, kTypeI8 = 1, kTypeU16 = 2, kTypeI16 = 3, kTypeU32 = 4, kTypeI32 = 5,
    kTypeF32 = 6, kTypeBool = 7, kTypeString = 8, kTypeArray = 9, kTypeU64 = 10,
    kTypeI64 = 11, kTypeF64 = 12,
};

// GGML tensor types the engines know.
enum : uint32_t {
    kGgmlF32 = 0, kGgmlF16 = 1, kGgmlQ5_0 = 6, kGgmlQ8_0 = 8,
    kGgmlQ4_K = 12, kGgmlQ5_K = 13, kGgmlQ6_K = 14,
};

// Elements and bytes per block of a known GGML type; false for any other id.
bool block_geometry(uint32_t ggml_type, uint64_t& elems_per_block, uint64_t& bytes_per_block);

// Deepest nesting of metadata arrays a file may use; real files nest at most once.
inline constexpr int kMaxArrayDepth = 16;
inline constexpr uint32_t kDefaultAlignment = 32;

} // namespace gguf

struct GGUFTensor {
    std::string name;
    std::vector<uint64_t> dims; // innermost first: dims[0] is one row's length
    uint32_t type = 0;          // GGML type id
    uint64_t offset = 0;        // from the data section start
    uint64_t nbytes = 0;        // span up to the next tensor (or EOF), padding included
    const uint8_t* data = nullptr;
};

class GGUFFile {
public:
    // Opens and parses the whole file; throws std::runtime_error or
    // std::out_of_range with a "GGUF: " text on any failure.
    explicit GGUFFile(const std::string& path);
    ~GGUFFile();
    GGUFFile(const GGUFFile&) = delete;
    GGUFFile& operator=(const GGUFFile&) = delete;

    // The tensor with that name (the later one when a name repeats), or null.
    const GGUFTensor* find(const std::string& name) const;

    int fd = -1;
    const uint8_t* base = nullptr;
    uint64_t size = 0;
    uint64_t cursor = 0;
    uint32_t alignment = gguf::kDefaultAlignment;
    uint64_t data_start = 0;
    std::vector<GGUFTensor> tensors;
    std::unordered_map<std::string, size_t> tensor_index;
    std::vector<std::string> tokens;
    std::vector<std::string> merges;
    std::unordered_map<std::string, double> kv;

private:
    void open_and_parse(const std::string& path);
    void read_kv();
    std::string rd_str();
    void skip_value(uint32_t type, int depth = 0);
    void layout_tensors();
    void release();

    template <typename T> T rd();
    void advance(uint64_t n);
    void check_count(uint64_t count, uint64_t min_bytes_each) const;
};
