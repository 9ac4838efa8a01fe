#include "VivirovKit/Support/UUID.h"

#include <random>
#include <sys/random.h>

namespace vivirov {

UUID UUID::random() {
    UUID id;
    size_t got = 0;
    while (got < id.bytes_.size()) {
        ssize_t n = getrandom(id.bytes_.data() + got, id.bytes_.size() - got, 0);
        if (n <= 0) break;
        got += size_t(n);
    }
    if (got < id.bytes_.size()) { // no entropy source: fall back to the library generator
        thread_local std::mt19937_64 rng(std::random_device{}());
        for (auto& b : id.bytes_) b = uint8_t(rng());
    }
    id.bytes_[6] = uint8_t((id.bytes_[6] & 0x0F) | 0x40);
    id.bytes_[8] = uint8_t((id.bytes_[8] & 0x3F) | 0x80);
    return id;
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    UUID id;
    size_t byte = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        id.bytes_[byte++] = uint8_t(hi * 16 + lo);
        i += 2;
    }
    return id;
}

std::string UUID::string() const {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(digits[bytes_[i] >> 4]);
        out.push_back(digits[bytes_[i] & 15]);
    }
    return out;
}

std::string UUID::lowercaseString() const {
    std::string out = string();
    for (char& c : out)
        if (c >= 'A' && c <= 'F') c = char(c - 'A' + 'a');
    return out;
}

} // namespace vivirov
