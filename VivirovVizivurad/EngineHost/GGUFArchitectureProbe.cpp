#include "VivirovVizivurad/EngineHost/GGUFArchitectureProbe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

constexpr uint64_t kMaxLength = 4096;   // longest key, string or array walked
constexpr int kMaxPairs = 32;

// A bounds-checked little-endian reader over the bytes read.
class Cursor {
public:
    explicit Cursor(std::string_view bytes) : bytes_(bytes) {}

    template <class T>
    bool read(T& out) {
        if (bytes_.size() - pos_ < sizeof(T)) return false;
        std::memcpy(&out, bytes_.data() + pos_, sizeof(T));
        pos_ += sizeof(T);
        return true;
    }
    bool skip(uint64_t n) {
        if (bytes_.size() - pos_ < n) return false;
        pos_ += size_t(n);
        return true;
    }
    // A u64 length and that many bytes of valid UTF-8, at most 4096.
    bool readString(std::string_view& out) {
        uint64_t len = 0;
        if (!read(len) || len > kMaxLength || bytes_.size() - pos_ < len) return false;
        out = bytes_.substr(pos_, size_t(len));
        pos_ += size_t(len);
        return text::isValidUTF8(out);
    }

private:
    std::string_view bytes_;
    size_t pos_ = 0;
};

// Bytes of one scalar value; 0 for strings and arrays, -1 for unknown types.
int scalarSize(uint32_t type) {
    switch (type) {
    case 0: case 1: case 7: return 1;
    case 2: case 3: return 2;
    case 4: case 5: case 6: return 4;
    case 10: case 11: case 12: return 8;
    case 8: case 9: return 0;
    default: return -1;
    }
}

bool skipString(Cursor& c) {
    uint64_t len = 0;
    return c.read(len) && len <= kMaxLength && c.skip(len);
}

bool skipValue(Cursor& c, uint32_t type) {
    if (type == 8) return skipString(c);
    if (type == 9) {
        uint32_t elementType = 0;
        uint64_t count = 0;
        if (!c.read(elementType) || !c.read(count)) return false;
        if (elementType == 9 || elementType > 12) return false;
        const uint64_t walked = count < kMaxLength ? count : kMaxLength;
        for (uint64_t i = 0; i < walked; ++i)
            if (!(elementType == 8 ? skipString(c) : c.skip(uint64_t(scalarSize(elementType))))) return false;
        return true;
    }
    const int size = scalarSize(type);
    return size > 0 && c.skip(uint64_t(size));
}

} // namespace

std::optional<std::string> ggufArchitectureInHeader(std::string_view head) {
    if (head.size() < 17) return std::nullopt;
    const std::string_view magic = head.substr(0, 4);
    if (magic != "GGUF" && magic != "CGUF") return std::nullopt;
    Cursor c(head.substr(16));
    uint64_t pairs = 0;
    if (!c.read(pairs)) return std::nullopt;
    for (uint64_t i = 0; i < pairs && i < uint64_t(kMaxPairs); ++i) {
        std::string_view key;
        uint32_t type = 0;
        if (!c.readString(key) || !c.read(type)) return std::nullopt;
        if (key == "general.architecture") {
            std::string_view value;
            if (type != 8 || !c.readString(value)) return std::nullopt;
            return std::string(value);
        }
        if (!skipValue(c, type)) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> readGGUFArchitecture(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string head(kGGUFProbeBytes, '\0');
    size_t got = 0;
    bool failed = false;
    while (got < head.size()) {
        const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    ::close(fd);
    if (failed) return std::nullopt;
    head.resize(got);
    return ggufArchitectureInHeader(head);
}

} // namespace vivirov
