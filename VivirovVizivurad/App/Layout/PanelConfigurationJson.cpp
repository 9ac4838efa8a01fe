#include "VivirovVizivurad/App/Layout/PanelConfigurationJson.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vivirov {

QByteArray encodePanelConfiguration(const PanelConfiguration& config) {
    QJsonObject object{{"leftSidebarWidth", config.leftSidebarWidth},
                       {"rightInspectorWidth", config.rightInspectorWidth},
                       {"bottomTerminalHeight", config.bottomTerminalHeight},
                       {"leftSidebarCollapsed", config.leftSidebarCollapsed},
                       {"rightInspectorCollapsed", config.rightInspectorCollapsed},
                       {"bottomPanelCollapsed", config.bottomPanelCollapsed}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<PanelConfiguration> decodePanelConfiguration(const QByteArray& json) {
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    auto number = [&](const char* key) -> std::optional<double> {
        const QJsonValue value = object.value(QLatin1String(key));
        return value.isDouble() ? std::optional(value.toDouble()) : std::nullopt;
    };
    auto flag = [&](const char* key) -> std::optional<bool> {
        const QJsonValue value = object.value(QLatin1String(key));
        return value.isBool() ? std::optional(value.toBool()) : std::nullopt;
    };
    const auto left = number("leftSidebarWidth"), right = number("rightInspectorWidth"),
               bottom = number("bottomTerminalHeight");
    const auto leftCollapsed = flag("leftSidebarCollapsed"), rightCollapsed = flag("rightInspectorCollapsed"),
               bottomCollapsed = flag("bottomPanelCollapsed");
    if (!left || !right || !bottom || !leftCollapsed || !rightCollapsed || !bottomCollapsed) return std::nullopt;
    return PanelConfiguration{*left, *right, *bottom, *leftCollapsed, *rightCollapsed, *bottomCollapsed};
}

} // namespace vivirov
