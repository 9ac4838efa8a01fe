#include "amx_tile_scratch.h"

namespace vm::apex {

void AmxTileScratch::ensure(size_t a, size_t b, size_t c) {
    if (weights.size() < a) weights.resize(a, 0.0f);
    if (outputs.size() < b) outputs.resize(b, 0.0f);
    if (panel.size() < c) panel.resize(c, 0.0f);
}

AmxTileScratch& amx_tile_scratch() {
    static AmxTileScratch scratch;
    return scratch;
}

} // namespace vm::apex
