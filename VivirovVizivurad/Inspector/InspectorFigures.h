#pragma once
#include <QString>

#include "VivirovVizivurad/Appearance/OrbState.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"

namespace vivirov {

// The texts of the inspector's engine panels, from the engine telemetry
// and the swarm's paging figure.
struct InspectorFigures {
    QString sgHits;
    QString sgMisses;
    QString batchTPS;     // one decimal
    QString swappedMB;    // whole megabytes
    QString phase;        // "IDLE", "GENERATING", ...
    QString modelName;    // the model file's name
    QString batchStatus;

    static InspectorFigures from(const VizivuradEngine::Telemetry& engine, double swappedMB);
    // The last component of a model path ("scaffold://no-model" gives "no-model").
    static QString modelFileName(const QString& path);
    // The dashboard orb: generating while the controller streams or tokens
    // still flow, idle otherwise.
    static OrbState orbState(bool streaming, double tokensPerSecond);
};

} // namespace vivirov
