// The engine host's header probe must accept any bytes: never read past
// them, and answer only valid UTF-8 no longer than a key may be.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "VivirovKit/Support/Text.h"
// The probe lives in the app library, which fuzz builds leave out; it uses
// nothing of the app, so its one source file is compiled in here.
#include "VivirovVizivurad/EngineHost/GGUFArchitectureProbe.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto arch = vivirov::ggufArchitectureInHeader(bytes);
    if (arch && (arch->size() > 4096 || !vivirov::text::isValidUTF8(*arch))) __builtin_trap();
    if (arch && bytes.find(*arch) == std::string_view::npos) __builtin_trap();
    return 0;
}
