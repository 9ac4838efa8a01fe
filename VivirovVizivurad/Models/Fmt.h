#pragma once
#include <cstdint>
#include <string>

// Texts for byte counts, transfer rates and remaining times. Pure, callable
// from any thread, and independent of the process locale.
namespace vivirov::Fmt {

// "1023 B", "2 KB", "4.77 MB", … steps of 1024 up to "TB".
std::string bytes(int64_t n);
// "2 KB/s"; "—" below 1 B/s (and for values that are not finite).
std::string rate(double bytesPerSec);
// "45s", "2m 5s", "1h 2m"; "—" when not above zero (and for non-finite values).
std::string eta(double seconds);

} // namespace vivirov::Fmt
