#include "VivirovVizivurad/Models/Fmt.h"

#include <charconv>
#include <cmath>

namespace vivirov::Fmt {

namespace {

const char* const kDash = "\xE2\x80\x94";

// Fixed-point text with a '.' whatever the locale says.
std::string fixed(double x, int decimals) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, decimals);
    return ec == std::errc() ? std::string(buffer, end) : std::string("0");
}

} // namespace

std::string bytes(int64_t n) {
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    double x = double(n);
    size_t unit = 0;
    if (n >= 1024) {
        x /= 1024;
        unit = 1;
        while (x >= 1024 && unit < 4) {
            x /= 1024;
            ++unit;
        }
    }
    return fixed(x, unit <= 1 ? 0 : 2) + " " + units[unit];
}

std::string rate(double bytesPerSec) {
    // Values an int64 cannot hold have no byte count to show.
    if (!(bytesPerSec >= 1) || bytesPerSec >= 9.2233720368547758e18) return kDash;
    return bytes(int64_t(bytesPerSec)) + "/s";
}

std::string eta(double seconds) {
    if (!(seconds > 0) || seconds >= 9.2233720368547758e18) return kDash;
    const int64_t s = int64_t(seconds);
    if (s < 60) return std::to_string(s) + "s";
    if (s < 3600) return std::to_string(s / 60) + "m " + std::to_string(s % 60) + "s";
    return std::to_string(s / 3600) + "h " + std::to_string(s % 3600 / 60) + "m";
}

} // namespace vivirov::Fmt
