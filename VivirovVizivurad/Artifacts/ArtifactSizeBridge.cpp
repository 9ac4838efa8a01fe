#include "VivirovVizivurad/Artifacts/ArtifactSizeBridge.h"

#include <QJsonValue>

namespace vivirov {

std::optional<double> ArtifactSizeBridge::height(const QVariant& body) {
    double value = 0;
    switch (body.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong: value = body.toDouble(); break;
    case QMetaType::QJsonValue:
        if (!body.toJsonValue().isDouble()) return std::nullopt;
        value = body.toJsonValue().toDouble();
        break;
    default: return std::nullopt;
    }
    if (!(value > 1)) return std::nullopt;
    return value;
}

void ArtifactSizeBridge::postMessage(const QVariant& body) {
    if (auto value = height(body); value && onHeight) onHeight(*value);
}

} // namespace vivirov
