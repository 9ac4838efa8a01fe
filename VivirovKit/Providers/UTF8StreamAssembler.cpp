#include "VivirovKit/Providers/UTF8StreamAssembler.h"

#include <string_view>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {
bool isContinuation(uint8_t b) { return b >= 0x80 && b <= 0xBF; }

std::string decode(const uint8_t* bytes, size_t n) {
    return text::decodeUTF8Lossy(std::string_view(reinterpret_cast<const char*>(bytes), n));
}
} // namespace

size_t UTF8StreamAssembler::completePrefixLength(const uint8_t* b, size_t L) {
    if (L == 0) return 0;
    size_t s = L - 1;
    if (L > 1 && isContinuation(b[L - 1])) {
        if (L == 2) s = 0;
        else if (!isContinuation(b[L - 2])) s = L - 2;
        else if (L == 3) s = 0;
        else if (!isContinuation(b[L - 3])) s = L - 3;
        else if (L == 4) s = 0;
        else s = L - 4;
    }
    uint8_t lead = b[s];
    size_t have = L - s;
    if (lead >= 0xC0 && lead <= 0xDF) return have >= 2 ? L : s;
    if (lead >= 0xE0 && lead <= 0xEF) return have >= 3 ? L : s;
    if (lead >= 0xF0 && lead <= 0xF7) return have >= 4 ? L : s;
    return L;
}

std::string UTF8StreamAssembler::consume(const uint8_t* bytes, std::ptrdiff_t count) {
    if (!bytes || count <= 0) return {};
    carry_.insert(carry_.end(), bytes, bytes + count);
    size_t n = completePrefixLength(carry_.data(), carry_.size());
    if (n == 0) return {};
    std::string out = decode(carry_.data(), n);
    carry_.erase(carry_.begin(), carry_.begin() + std::ptrdiff_t(n));
    return out;
}

std::string UTF8StreamAssembler::consume(const std::vector<uint8_t>& bytes) {
    return consume(bytes.data(), std::ptrdiff_t(bytes.size()));
}

std::string UTF8StreamAssembler::flush() {
    if (carry_.empty()) return {};
    std::string out = decode(carry_.data(), carry_.size());
    carry_.clear();
    return out;
}

} // namespace vivirov
