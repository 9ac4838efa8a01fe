#pragma once
#include <QWidget>

#include <map>
#include <vector>

#include "VivirovVizivurad/App/AppRoute.h"

class QLabel;
class QVBoxLayout;

namespace vivirov {

class BrandMark;
class PlaceholderSheet;
class SidebarModel;
class SidebarRow;

// The upper part of the left column: brand header, New Chat, one row per
// route, the recent sessions and the Appearance button. It reads the router
// and the controller on every change and acts only through SidebarModel.
class NavigationSidebarView : public QWidget {
    Q_OBJECT
public:
    explicit NavigationSidebarView(SidebarModel& model, QWidget* parent = nullptr);

    SidebarRow* newChatRow() const { return newChat_; }
    SidebarRow* routeRow(AppRoute route) const { return routeRows_.at(route); }
    const std::vector<SidebarRow*>& sessionRows() const { return sessionRows_; }
    SidebarRow* appearanceRow() const { return appearance_; }
    QLabel* recentHeader() const { return recent_; }
    BrandMark* mark() const { return mark_; }
    bool showsAppearance() const { return appearanceSheet_ != nullptr; }

    // Wires a controller that arrived after the sidebar was built.
    void controllerAttached();

private:
    void restyle();
    void rebuildSessions();
    void openAppearance();

    SidebarModel& model_;
    BrandMark* mark_;
    SidebarRow* newChat_;
    std::map<AppRoute, SidebarRow*> routeRows_;
    QLabel* recent_;
    QVBoxLayout* sessionsLayout_;
    std::vector<SidebarRow*> sessionRows_;
    SidebarRow* appearance_;
    PlaceholderSheet* appearanceSheet_ = nullptr;
};

} // namespace vivirov
