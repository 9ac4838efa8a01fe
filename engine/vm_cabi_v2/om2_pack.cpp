#include "vm_cabi_v2/om2_pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "vm_cabi/half.h"

namespace vm::apex {

namespace {

constexpr uint64_t kMagic = 0x3256455A4556ULL; // "VEZEV2" little-endian

struct Header {
    int32_t layer, expert;
    uint32_t rows, cols, rank, n_scales;
    int32_t group;
    uint8_t tag[8];
};

template <class T> T rd(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

Header parse_header(const uint8_t* p) {
    Header h;
    h.layer = rd<int32_t>(p + 12);
    h.expert = rd<int32_t>(p + 16);
    h.rows = rd<uint32_t>(p + 20);
    h.cols = rd<uint32_t>(p + 24);
    h.rank = rd<uint32_t>(p + 28);
    h.n_scales = rd<uint32_t>(p + 32);
    h.group = rd<int32_t>(p + 36);
    std::memcpy(h.tag, p + 40, 8);
    return h;
}

// Section sizes in bytes; `fits` is false when the header claims more
// than `size` bytes in all (computed without overflow).
struct Sections {
    uint64_t u, s, v, scales, r;
    bool fits = false;
};

Sections sections(const Header& h, uint64_t size) {
    using u128 = unsigned __int128;
    const u128 u = u128(2) * h.rows * h.rank, v = u128(2) * h.cols * h.rank, r = u128(h.rows) * h.cols;
    const u128 total = u128(kOm2HeaderBytes) + u + u128(4) * h.rank + v + u128(4) * h.n_scales + r;
    Sections s{};
    s.fits = total <= size;
    if (!s.fits) return s;
    s.u = uint64_t(u);
    s.s = 4ULL * h.rank;
    s.v = uint64_t(v);
    s.scales = 4ULL * h.n_scales;
    s.r = uint64_t(r);
    return s;
}

void apply_header(const Header& h, Om2Pack& out) {
    out.layer = h.layer;
    out.expert = h.expert;
    out.rows = int32_t(h.rows);
    out.cols = int32_t(h.cols);
    out.rank = int32_t(h.rank);
    out.n_scales = h.n_scales;
    out.group = h.group < 1 ? 32 : h.group;
    std::memcpy(out.tag, h.tag, 8);
}

void widen(const uint8_t* p, uint64_t count, std::vector<float>& out) {
    out.resize(count);
    for (uint64_t i = 0; i < count; ++i) out[i] = half_to_float(rd<uint16_t>(p + 2 * i));
}

// Fills the pack from a whole file held in memory.
bool parse_buffer(const uint8_t* p, uint64_t size, Om2Pack& out) {
    if (size < 16 || (rd<uint64_t>(p) & 0xFFFFFFFFFFFFULL) != kMagic || size < kOm2HeaderBytes) return false;
    const Header h = parse_header(p);
    apply_header(h, out);
    // Sections that cannot all fit in the bytes read fail before any buffer
    // is sized from the header.
    const Sections s = sections(h, size);
    if (!s.fits) return false;
    uint64_t at = kOm2HeaderBytes;
    auto fits = [&](uint64_t n) { return n <= size - at; };
    if (!fits(s.u)) return false;
    widen(p + at, s.u / 2, out.U);
    at += s.u;
    if (!fits(s.s)) return false;
    out.S.resize(h.rank);
    if (s.s) std::memcpy(out.S.data(), p + at, s.s);
    at += s.s;
    if (!fits(s.v)) return false;
    widen(p + at, s.v / 2, out.V);
    at += s.v;
    if (h.n_scales > 0) {
        if (!fits(s.scales)) return false;
        out.scales.resize(h.n_scales);
        std::memcpy(out.scales.data(), p + at, s.scales);
        at += s.scales;
    }
    if (!fits(s.r)) return false;
    out.R.resize(s.r);
    if (s.r) std::memcpy(out.R.data(), p + at, s.r);
    return out.valid();
}

} // namespace

bool Om2Pack::valid() const {
    if (rows <= 0 || cols <= 0 || rank <= 0) return false;
    const uint64_t r = uint64_t(rows), c = uint64_t(cols), k = uint64_t(rank);
    return U.size() == r * k && V.size() == c * k && S.size() == k && R.size() == r * c;
}

uint64_t Om2Pack::bytes() const { return 4 * uint64_t(U.size() + S.size() + V.size() + scales.size()) + R.size(); }

uint64_t om2_pack_key(int layer, int expert, char proj) {
    uint8_t p = uint8_t(proj);
    if (p >= 'A' && p <= 'Z') p = uint8_t(p - 'A' + 'a');
    return (uint64_t(uint32_t(layer)) << 32) | (uint64_t(uint32_t(expert)) << 8) | p;
}

bool load_om2_file_uncached(const std::string& path, Om2Pack& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return load_om2_file(path, out);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < 1 || uint64_t(st.st_size) > kOm2DirectReadLimit) {
        ::close(fd);
        return load_om2_file(path, out);
    }
    const uint64_t size = uint64_t(st.st_size);
    // Every byte used is read first: no need to zero the buffer.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
    uint64_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, buf.get() + got, size - got, off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return load_om2_file(path, out);
        }
        if (n == 0) break;
        got += uint64_t(n);
    }
    // Packs are read once into host memory: keep them out of the page cache.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    if (got < size) return load_om2_file(path, out);
    return parse_buffer(buf.get(), size, out);
}

bool load_om2_file(const std::string& path, Om2Pack& out) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) return false;
    const std::streamoff end = f.tellg();
    if (end < 0) return false;
    const uint64_t size = uint64_t(end);
    f.seekg(0);
    uint8_t head[kOm2HeaderBytes];
    if (size < 8 || !f.read(reinterpret_cast<char*>(head), 8)) return false;
    if ((rd<uint64_t>(head) & 0xFFFFFFFFFFFFULL) != kMagic) return false;
    if (size < kOm2HeaderBytes || !f.read(reinterpret_cast<char*>(head) + 8, kOm2HeaderBytes - 8)) return false;
    const Header h = parse_header(head);
    apply_header(h, out);
    // A header that claims more than the file holds is refused before any
    // buffer is sized from it.
    const Sections s = sections(h, size);
    if (!s.fits) return false;
    std::vector<uint8_t> tmp;
    auto section = [&](uint64_t n) {
        tmp.resize(n);
        return n == 0 || bool(f.read(reinterpret_cast<char*>(tmp.data()), std::streamsize(n)));
    };
    if (!section(s.u)) return false;
    widen(tmp.data(), s.u / 2, out.U);
    if (!section(s.s)) return false;
    out.S.resize(h.rank);
    if (s.s) std::memcpy(out.S.data(), tmp.data(), s.s);
    if (!section(s.v)) return false;
    widen(tmp.data(), s.v / 2, out.V);
    if (!section(s.scales)) return false;
    out.scales.resize(h.n_scales);
    if (s.scales) std::memcpy(out.scales.data(), tmp.data(), s.scales);
    out.R.resize(s.r);
    if (s.r && !f.read(reinterpret_cast<char*>(out.R.data()), std::streamsize(s.r))) return false;
    return out.valid();
}

} // namespace vm::apex
