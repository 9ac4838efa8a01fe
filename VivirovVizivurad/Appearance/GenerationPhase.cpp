#include "VivirovVizivurad/Appearance/GenerationPhase.h"

namespace vivirov {

namespace {
constexpr const char* raws[] = {"idle", "thinking", "generating", "error"};
}

QString rawValue(GenerationPhase phase) { return QString::fromLatin1(raws[int(phase)]); }
QString label(GenerationPhase phase) { return rawValue(phase).toUpper(); }

std::optional<GenerationPhase> generationPhaseFromRaw(const QString& raw) {
    for (int i = 0; i < 4; ++i)
        if (raw == QLatin1String(raws[i])) return GenerationPhase(i);
    return std::nullopt;
}

} // namespace vivirov
