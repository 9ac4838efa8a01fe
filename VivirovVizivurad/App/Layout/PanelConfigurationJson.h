#pragma once
#include <QByteArray>

#include <optional>

#include "VivirovVizivurad/App/PanelConfiguration.h"

namespace vivirov {

// The panel sizes as a JSON object of exactly six keys named after the
// fields; decoding needs all six (extra keys are ignored).
QByteArray encodePanelConfiguration(const PanelConfiguration& config);
std::optional<PanelConfiguration> decodePanelConfiguration(const QByteArray& json);

} // namespace vivirov
