#pragma once
#include <QString>
#include <optional>

namespace vivirov {

// The phase of the current chat generation, as the engine host publishes it.
enum class GenerationPhase { idle, thinking, generating, error };

QString rawValue(GenerationPhase phase);  // "idle", "thinking", ...
QString label(GenerationPhase phase);     // "IDLE", "THINKING", ...
// Exactly one of the raw values, case-sensitive; else none.
std::optional<GenerationPhase> generationPhaseFromRaw(const QString& raw);

} // namespace vivirov
