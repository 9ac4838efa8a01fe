#include "VivirovVizivurad/App/NavigationRouter.h"

namespace vivirov {

void NavigationRouter::setCurrentRoute(AppRoute route) {
    if (route == currentRoute_) return;
    const AppRoute from = currentRoute_;
    currentRoute_ = route;
    emit currentRouteChanged(from, route);
}

} // namespace vivirov
