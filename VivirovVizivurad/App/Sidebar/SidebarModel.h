#pragma once
#include <QObject>
#include <QPointer>
#include <QString>

#include "VivirovKit/Support/UUID.h"
#include "VivirovVizivurad/App/AppRoute.h"

namespace vivirov {

class NavigationRouter;
class QuintoraViewModel;
struct ChatSessionRef;

// What the sidebar's rows do and show: New Chat and session rows call the
// controller and then switch to chat; route rows write the router only when
// the route differs. The controller may arrive after the sidebar is built.
class SidebarModel : public QObject {
    Q_OBJECT
public:
    static inline const QString kNewChatHint = QStringLiteral("Start a new chat (Ctrl+N)");
    static inline const QString kAppearanceHint = QStringLiteral("Theme & font options");

    SidebarModel(NavigationRouter& router, QuintoraViewModel* vm, QObject* parent = nullptr);

    NavigationRouter& router() { return router_; }
    QuintoraViewModel* controller() const { return alive_ ? vm_ : nullptr; }

    void newChat();
    void selectSession(const UUID& id);
    void selectRoute(AppRoute route);
    bool isActive(AppRoute route) const;
    bool isActive(const ChatSessionRef& session) const;

    // A session's shown title: "New chat" while it has none.
    static QString sessionTitle(const ChatSessionRef& session);
    static QString routeSymbol(AppRoute route);
    static QString routeHint(AppRoute route);

private:
    void showChat();

    NavigationRouter& router_;
    QuintoraViewModel* vm_ = nullptr;
    QPointer<QObject> alive_; // clears when the controller goes
};

} // namespace vivirov
