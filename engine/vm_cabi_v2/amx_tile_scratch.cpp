#include "amx_tile_scratch.h"

namespace vm::apex {

void AmxTileScratch::ensure(size_t a, size_t b) {
    if (weights.size() < a) weights.resize(a, 0.0f);
    if (outputs.size() < b) outputs.resize(b, 0.0f);
}

void AmxTileScratch::ensure_tiles(int participants, size_t floats) {
    if (tiles.size() < size_t(participants)) tiles.resize(size_t(participants));
    for (auto& t : tiles)
        if (t.size() < floats) t.resize(floats, 0.0f);
}

AmxTileScratch& amx_tile_scratch() {
    static AmxTileScratch scratch;
    return scratch;
}

} // namespace vm::apex
