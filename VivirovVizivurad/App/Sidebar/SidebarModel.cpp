#include "VivirovVizivurad/App/Sidebar/SidebarModel.h"

#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"

namespace vivirov {

SidebarModel::SidebarModel(NavigationRouter& router, QuintoraViewModel* vm, QObject* parent)
    : QObject(parent), router_(router), vm_(vm), alive_(vm) {}

void SidebarModel::showChat() {
    if (router_.currentRoute() != AppRoute::chat) router_.setCurrentRoute(AppRoute::chat);
}

void SidebarModel::newChat() {
    if (!controller()) return;
    vm_->newChat();
    showChat();
}

void SidebarModel::selectSession(const UUID& id) {
    if (!controller()) return;
    vm_->selectSession(id);
    showChat();
}

void SidebarModel::selectRoute(AppRoute route) {
    if (router_.currentRoute() != route) router_.setCurrentRoute(route);
}

bool SidebarModel::isActive(AppRoute route) const { return router_.currentRoute() == route; }

bool SidebarModel::isActive(const ChatSessionRef& session) const {
    return controller() && vm_->activeSessionID() && *vm_->activeSessionID() == session.id;
}

QString SidebarModel::sessionTitle(const ChatSessionRef& session) {
    return session.title.empty() ? QStringLiteral("New chat") : QString::fromStdString(session.title);
}

QString SidebarModel::routeSymbol(AppRoute route) {
    switch (route) {
    case AppRoute::chat: return QStringLiteral("message.fill");
    case AppRoute::cowork: return QStringLiteral("hammer.fill");
    case AppRoute::code: return QStringLiteral("chevron.left.forwardslash.chevron.right");
    case AppRoute::nexus: return QStringLiteral("square.grid.2x2.fill");
    }
    return {};
}

QString SidebarModel::routeHint(AppRoute route) {
    return QStringLiteral("Switches to the ") + routeTitle(route) + QStringLiteral(" page.");
}

} // namespace vivirov
