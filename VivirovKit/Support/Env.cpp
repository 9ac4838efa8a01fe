#include "VivirovKit/Support/Env.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace vivirov::env {

std::optional<std::string> string(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

bool isOn(const char* name) {
    auto value = string(name);
    return value && *value == "1";
}

bool isDefaultOnEnabled(const char* name) {
    auto value = string(name);
    return !(value && *value == "0");
}

std::optional<int64_t> parseInteger(std::string_view text) {
    if (text.empty()) return std::nullopt;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    // Parse with the sign attached so INT64_MIN stays representable.
    std::string signedText = negative ? "-" + std::string(text) : std::string(text);
    int64_t value = 0;
    auto [end, ec] = std::from_chars(signedText.data(), signedText.data() + signedText.size(), value);
    if (ec != std::errc() || end != signedText.data() + signedText.size()) return std::nullopt;
    return value;
}

std::optional<int64_t> integer(const char* name) {
    auto value = string(name);
    if (!value) return std::nullopt;
    return parseInteger(*value);
}

} // namespace vivirov::env
