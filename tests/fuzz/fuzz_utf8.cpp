// Decoding and grapheme helpers must accept any bytes without reading past them.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "VivirovKit/Support/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string valid = vivirov::text::decodeUTF8Lossy(bytes);
    if (!vivirov::text::isValidUTF8(valid)) __builtin_trap();
    size_t count = vivirov::text::graphemeCount(valid);
    if (vivirov::text::graphemePrefix(valid, count) != valid) __builtin_trap();
    (void)vivirov::text::completeUTF8PrefixLength(bytes);
    return 0;
}
