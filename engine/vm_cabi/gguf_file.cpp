#include "gguf_file.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <type_traits>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gguf {

bool block_geometry(uint32_t ggml_type, uint64_t& elems_per_block, uint64_t& bytes_per_block) {
    switch (ggml_type) {
    case kGgmlF32: elems_per_block = 1; bytes_per_block = 4; return true;
    case kGgmlF16: elems_per_block = 1; bytes_per_block = 2; return true;
    case kGgmlQ5_0: elems_per_block = 32; bytes_per_block = 22; return true;
    case kGgmlQ8_0: elems_per_block = 32; bytes_per_block = 34; return true;
    case kGgmlQ4_K: elems_per_block = 256; bytes_per_block = 144; return true;
    case kGgmlQ5_K: elems_per_block = 256; bytes_per_block = 176; return true;
    case kGgmlQ6_K: elems_per_block = 256; bytes_per_block = 210; return true;
    default: return false;
    }
}

} // namespace gguf

namespace {

const char* const kPastEOF = "GGUF: read past EOF";

uint32_t magic_of(const char (&text)[5]) {
    uint32_t m;
    std::memcpy(&m, text, 4);
    return m;
}

} // namespace

GGUFFile::GGUFFile(const std::string& path) {
    try {
        open_and_parse(path);
    } catch (...) {
        release();
        throw;
    }
}

GGUFFile::~GGUFFile() { release(); }

void GGUFFile::release() {
    if (base != nullptr && base != MAP_FAILED) ::munmap(const_cast<uint8_t*>(base), size);
    base = nullptr;
    if (fd >= 0) ::close(fd);
    fd = -1;
}

const GGUFTensor* GGUFFile::find(const std::string& name) const {
    auto it = tensor_index.find(name);
    return it == tensor_index.end() ? nullptr : &tensors[it->second];
}

template <typename T> T GGUFFile::rd() {
    static_assert(std::is_trivially_copyable_v<T>);
    if (cursor > size || sizeof(T) > size - cursor) throw std::out_of_range(kPastEOF);
    T v;
    std::memcpy(&v, base + cursor, sizeof(T));
    cursor += sizeof(T);
    return v;
}

// Every skip is checked, so a hostile length can never wrap the cursor.
void GGUFFile::advance(uint64_t n) {
    if (cursor > size || n > size - cursor) throw std::out_of_range(kPastEOF);
    cursor += n;
}

// A declared count whose items cannot fit in the bytes left is refused before
// anything is reserved for it.
void GGUFFile::check_count(uint64_t count, uint64_t min_bytes_each) const {
    uint64_t left = cursor <= size ? size - cursor : 0;
    if (count > left / min_bytes_each) throw std::out_of_range(kPastEOF);
}

void GGUFFile::open_and_parse(const std::string& path) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("GGUF: open failed: " + path);
    struct stat st;
    if (::fstat(fd, &st) != 0) throw std::runtime_error("GGUF: fstat failed");
    size = uint64_t(st.st_size);
    void* m = size == 0 ? MAP_FAILED : ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) throw std::runtime_error("GGUF: mmap failed");
    base = static_cast<const uint8_t*>(m);

    uint32_t magic = rd<uint32_t>();
    if (magic != magic_of("GGUF") && magic != magic_of("CGUF"))
        throw std::runtime_error("GGUF: bad magic (not 'GGUF'/'CGUF')");
    uint32_t version = rd<uint32_t>();
    uint64_t n_tensors = rd<uint64_t>();
    uint64_t n_kv = rd<uint64_t>();
    if (version != 2 && version != 3) throw std::runtime_error("GGUF: unsupported version");

    // An entry is at least an empty key (8) and a type (4).
    check_count(n_kv, 12);
    for (uint64_t i = 0; i < n_kv; ++i) read_kv();

    // A tensor info is at least an empty name (8), a dimension count (4),
    // a type (4) and an offset (8).
    check_count(n_tensors, 24);
    tensors.reserve(n_tensors);
    for (uint64_t i = 0; i < n_tensors; ++i) {
        GGUFTensor t;
        t.name = rd_str();
        uint32_t n_dims = rd<uint32_t>();
        check_count(n_dims, 8);
        t.dims.reserve(n_dims);
        for (uint32_t d = 0; d < n_dims; ++d) t.dims.push_back(rd<uint64_t>());
        t.type = rd<uint32_t>();
        t.offset = rd<uint64_t>();
        tensor_index[t.name] = tensors.size();
        tensors.push_back(std::move(t));
    }
    layout_tensors();
}

std::string GGUFFile::rd_str() {
    uint64_t len = rd<uint64_t>();
    if (len > size - cursor) throw std::out_of_range("GGUF: string runs past EOF");
    std::string s(reinterpret_cast<const char*>(base + cursor), size_t(len));
    cursor += len;
    return s;
}

void GGUFFile::read_kv() {
    std::string key = rd_str();
    uint32_t type = rd<uint32_t>();

    if (key == "general.alignment" && type == gguf::kTypeU32) {
        uint32_t a = rd<uint32_t>();
        // The data start is rounded with a mask, which only a power of two makes right.
        if (a == 0 || (a & (a - 1)) != 0)
            throw std::runtime_error("GGUF: bad alignment (not a power of two)");
        alignment = a;
        return;
    }
    if (type == gguf::kTypeArray && (key == "tokenizer.ggml.tokens" || key == "tokenizer.ggml.merges")) {
        uint32_t elem = rd<uint32_t>();
        uint64_t count = rd<uint64_t>();
        if (elem == gguf::kTypeString) {
            check_count(count, 8);
            auto& list = key == "tokenizer.ggml.tokens" ? tokens : merges;
            list.reserve(list.size() + count);
            for (uint64_t i = 0; i < count; ++i) list.push_back(rd_str());
        } else {
            for (uint64_t i = 0; i < count; ++i) skip_value(elem, 1);
        }
        return;
    }
    double value;
    switch (type) {
    case gguf::kTypeU8: value = rd<uint8_t>(); break;
    case gguf::kTypeI8: value = rd<int8_t>(); break;
    case gguf::kTypeU16: value = rd<uint16_t>(); break;
    case gguf::kTypeI16: value = rd<int16_t>(); break;
    case gguf::kTypeU32: value = rd<uint32_t>(); break;
    case gguf::kTypeI32: value = rd<int32_t>(); break;
    case gguf::kTypeF32: value = rd<float>(); break;
    case gguf::kTypeBool: value = rd<uint8_t>(); break;
    case gguf::kTypeU64: value = double(rd<uint64_t>()); break;
    case gguf::kTypeI64: value = double(rd<int64_t>()); break;
    case gguf::kTypeF64: value = rd<double>(); break;
    default:
        skip_value(type);
        return;
    }
    kv[key] = value;
}

void GGUFFile::skip_value(uint32_t type, int depth) {
    switch (type) {
    case gguf::kTypeU8: case gguf::kTypeI8: case gguf::kTypeBool: advance(1); return;
    case gguf::kTypeU16: case gguf::kTypeI16: advance(2); return;
    case gguf::kTypeU32: case gguf::kTypeI32: case gguf::kTypeF32: advance(4); return;
    case gguf::kTypeU64: case gguf::kTypeI64: case gguf::kTypeF64: advance(8); return;
    case gguf::kTypeString: advance(rd<uint64_t>()); return;
    case gguf::kTypeArray: {
        if (depth >= gguf::kMaxArrayDepth)
            throw std::runtime_error("GGUF: metadata arrays nested too deeply");
        uint32_t elem = rd<uint32_t>();
        uint64_t count = rd<uint64_t>();
        uint64_t width = 0;
        switch (elem) {
        case gguf::kTypeU8: case gguf::kTypeI8: case gguf::kTypeBool: width = 1; break;
        case gguf::kTypeU16: case gguf::kTypeI16: width = 2; break;
        case gguf::kTypeU32: case gguf::kTypeI32: case gguf::kTypeF32: width = 4; break;
        case gguf::kTypeU64: case gguf::kTypeI64: case gguf::kTypeF64: width = 8; break;
        default: break;
        }
        if (width != 0) {
            // Fixed-width elements are skipped at once (a huge count is one check).
            check_count(count, width);
            cursor += count * width;
            return;
        }
        for (uint64_t i = 0; i < count; ++i) skip_value(elem, depth + 1);
        return;
    }
    default:
        throw std::runtime_error("GGUF: unknown metadata value type");
    }
}

void GGUFFile::layout_tensors() {
    uint64_t a = alignment; // a power of two; the cursor is within the file
    data_start = (cursor + a - 1) & (0 - a);
    if (tensors.empty()) return;

    std::vector<size_t> order(tensors.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::sort(order.begin(), order.end(),
              [&](size_t x, size_t y) { return tensors[x].offset < tensors[y].offset; });

    // Past the end of the file, the data section is empty.
    uint64_t data_len = data_start <= size ? size - data_start : 0;
    for (size_t k = 0; k < order.size(); ++k) {
        GGUFTensor& t = tensors[order[k]];
        uint64_t next = k + 1 < order.size() ? tensors[order[k + 1]].offset : data_len;
        t.nbytes = next - t.offset;
        bool outside = data_start > size || t.offset > size - data_start ||
                       t.nbytes > size - (data_start + t.offset);
        if (outside) {
            // Printed as the sum the layout gives, even when it wraps.
            throw std::out_of_range("GGUF: tensor '" + t.name + "' data (" +
                                    std::to_string(data_start + t.offset) + "+" +
                                    std::to_string(t.nbytes) + ") exceeds file size (" +
                                    std::to_string(size) + ")");
        }
        t.data = base + data_start + t.offset;
    }

    // A tensor of a known type must hold the bytes its shape needs: users read
    // that many bytes from `data`, and a short last tensor would take them
    // beyond the mapping.
    for (const GGUFTensor& t : tensors) {
        uint64_t epb, bpb;
        if (!gguf::block_geometry(t.type, epb, bpb)) continue;
        uint64_t n = 1;
        bool overflow = false;
        for (uint64_t d : t.dims) overflow |= __builtin_mul_overflow(n, d, &n);
        uint64_t need = 0;
        if (!overflow) overflow = __builtin_mul_overflow((n + epb - 1) / epb, bpb, &need);
        if (overflow || need > size - (data_start + t.offset)) {
            throw std::out_of_range("GGUF: tensor '" + t.name + "' needs " +
                                    (overflow ? std::string("more") : std::to_string(need)) +
                                    " bytes, file holds " +
                                    std::to_string(size - (data_start + t.offset)));
        }
    }
}
