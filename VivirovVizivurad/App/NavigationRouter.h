#pragma once
#include <QObject>

#include "VivirovVizivurad/App/AppRoute.h"

namespace vivirov {

// The one record of which route the window shows. Every launch starts on
// chat; the route is never stored. GUI thread only.
class NavigationRouter : public QObject {
    Q_OBJECT
public:
    explicit NavigationRouter(QObject* parent = nullptr) : QObject(parent) {}

    AppRoute currentRoute() const { return currentRoute_; }
    // Writing the route it already holds stores nothing and announces nothing.
    void setCurrentRoute(AppRoute route);

signals:
    void currentRouteChanged(vivirov::AppRoute from, vivirov::AppRoute to);

private:
    AppRoute currentRoute_ = AppRoute::chat;
};

} // namespace vivirov
