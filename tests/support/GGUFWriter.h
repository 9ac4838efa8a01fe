#pragma once
// Writes GGUF model files for tests: any magic, version, metadata (nested
// arrays included), tensor table, alignment and data section, so that a test
// can build valid models of any shape and type as well as every kind of
// broken file.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vivirov::test {

class GGUFWriter {
public:
    enum Type : uint32_t {
        U8 = 0, I8 = 1, U16 = 2, I16 = 3, U32 = 4, I32 = 5, F32 = 6, Bool = 7,
        String = 8, Array = 9, U64 = 10, I64 = 11, F64 = 12,
    };
    enum Ggml : uint32_t { GF32 = 0, GF16 = 1, GQ5_0 = 6, GQ8_0 = 8, GQ4_K = 12, GQ5_K = 13, GQ6_K = 14 };

    GGUFWriter& magic(std::string_view fourBytes);
    GGUFWriter& version(uint32_t v);
    // Writes a u32 "general.alignment" entry and lays the data out with it.
    GGUFWriter& alignment(uint32_t a);

    // Metadata, written in call order.
    GGUFWriter& u8(std::string_view key, uint8_t v) { return scalar(key, U8, &v, 1); }
    GGUFWriter& i8(std::string_view key, int8_t v) { return scalar(key, I8, &v, 1); }
    GGUFWriter& u16(std::string_view key, uint16_t v) { return scalar(key, U16, &v, 2); }
    GGUFWriter& i16(std::string_view key, int16_t v) { return scalar(key, I16, &v, 2); }
    GGUFWriter& u32(std::string_view key, uint32_t v) { return scalar(key, U32, &v, 4); }
    GGUFWriter& i32(std::string_view key, int32_t v) { return scalar(key, I32, &v, 4); }
    GGUFWriter& f32(std::string_view key, float v) { return scalar(key, F32, &v, 4); }
    GGUFWriter& boolean(std::string_view key, bool v);
    GGUFWriter& u64(std::string_view key, uint64_t v) { return scalar(key, U64, &v, 8); }
    GGUFWriter& i64(std::string_view key, int64_t v) { return scalar(key, I64, &v, 8); }
    GGUFWriter& f64(std::string_view key, double v) { return scalar(key, F64, &v, 8); }
    GGUFWriter& str(std::string_view key, std::string_view v);
    GGUFWriter& strings(std::string_view key, const std::vector<std::string>& list);
    // An entry of any type with its value bytes as given (nested arrays,
    // unknown types, wrong lengths).
    GGUFWriter& raw(std::string_view key, uint32_t type, std::string_view valueBytes);

    // A tensor whose bytes go into the data section at the next aligned offset.
    GGUFWriter& tensor(std::string_view name, const std::vector<uint64_t>& dims, uint32_t ggmlType,
                       std::string_view bytes);
    GGUFWriter& tensorF32(std::string_view name, const std::vector<uint64_t>& dims,
                          const std::vector<float>& values);
    // A tensor of random but valid blocks of any supported type (see
    // RandomBlocks.h); the product of dims must be a whole number of blocks.
    GGUFWriter& tensorRandom(std::string_view name, const std::vector<uint64_t>& dims, uint32_t ggmlType,
                             uint32_t seed);
    // A tensor info only, at an explicit offset; the data section is left as is.
    GGUFWriter& tensorInfo(std::string_view name, const std::vector<uint64_t>& dims, uint32_t ggmlType,
                           uint64_t offset);
    // Forces the data section to exactly this many bytes (zero padded or cut).
    GGUFWriter& dataSize(uint64_t n);

    std::string bytes() const;
    // Writes the file; returns its path.
    const std::string& write(const std::string& path) const;

    // Value encoders for tensor data.
    static std::string le(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }
    static std::string str8(std::string_view s); // u64 length + bytes
    static std::string f32Bytes(const std::vector<float>& v);
    static uint16_t f16Bits(float f); // round to nearest even
    static float f16Value(uint16_t h);
    static std::string f16Bytes(const std::vector<float>& v);
    // GGML Q8_0: blocks of 32 values as an f16 scale and 32 int8 codes.
    static std::string q8_0Bytes(const std::vector<float>& v);

private:
    GGUFWriter& scalar(std::string_view key, uint32_t type, const void* p, size_t n);

    std::string magic_ = "GGUF";
    uint32_t version_ = 3;
    uint32_t alignment_ = 32;
    uint64_t kvCount_ = 0;
    std::string kvBytes_;
    uint64_t tensorCount_ = 0;
    std::string infoBytes_;
    std::string data_;
    bool forcedSize_ = false;
    uint64_t dataSize_ = 0;
};

// Shard file names "<stem>-0000i-of-0000N.gguf" in `dir`, i = 1 … n.
std::vector<std::string> shardNames(const std::string& dir, const std::string& stem, int n);

} // namespace vivirov::test
