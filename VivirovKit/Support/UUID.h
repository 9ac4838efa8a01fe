#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vivirov {

// A 128-bit identifier. Random ones are version 4; the text form is the
// upper-case canonical 8-4-4-4-12 form.
class UUID {
public:
    UUID() = default; // all zero
    static UUID random();
    // Accepts the canonical form in either case; none for anything else.
    static std::optional<UUID> parse(std::string_view text);

    std::string string() const;
    std::string lowercaseString() const;
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }

    auto operator<=>(const UUID&) const = default;

private:
    std::array<uint8_t, 16> bytes_{};
};

} // namespace vivirov

template <>
struct std::hash<vivirov::UUID> {
    size_t operator()(const vivirov::UUID& id) const noexcept {
        size_t h = 0;
        for (uint8_t b : id.bytes()) h = h * 131 + b;
        return h;
    }
};
