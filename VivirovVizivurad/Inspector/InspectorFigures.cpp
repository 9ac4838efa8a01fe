#include "VivirovVizivurad/Inspector/InspectorFigures.h"

namespace vivirov {

InspectorFigures InspectorFigures::from(const VizivuradEngine::Telemetry& engine, double swappedMB) {
    return {QString::number(engine.matrixSgHits),
            QString::number(engine.matrixSgMisses),
            QString::asprintf("%.1f", engine.lastBatchTPS),
            QString::asprintf("%.0f", swappedMB),
            label(engine.generationPhase),
            modelFileName(engine.activeModelPath),
            engine.lastBatchStatus};
}

QString InspectorFigures::modelFileName(const QString& path) {
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/'))) trimmed.chop(1);
    const qsizetype slash = trimmed.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? trimmed : trimmed.mid(slash + 1);
}

OrbState InspectorFigures::orbState(bool streaming, double tokensPerSecond) {
    return streaming || tokensPerSecond > 0 ? OrbState::generating : OrbState::idle;
}

} // namespace vivirov
