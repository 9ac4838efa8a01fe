#include "VivirovVizivurad/App/AppRoute.h"

namespace vivirov {

QString routeTitle(AppRoute route) {
    switch (route) {
    case AppRoute::chat: return QStringLiteral("Vizivurad Chat");
    case AppRoute::cowork: return QStringLiteral("Co-Work Workspace");
    case AppRoute::code: return QStringLiteral("Vivirov Code");
    case AppRoute::nexus: return QStringLiteral("Nexus & Integrations");
    }
    return {};
}

std::optional<AppRoute> routeFromTitle(const QString& title) {
    for (AppRoute route : allRoutes)
        if (routeTitle(route) == title) return route;
    return std::nullopt;
}

} // namespace vivirov
