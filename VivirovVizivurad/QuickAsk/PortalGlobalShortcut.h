#pragma once
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>

#include <functional>

namespace vivirov {

// The Quick Ask key through the desktop portal's global shortcuts, for
// desktops (Wayland ones) where no application may watch other windows'
// keys. Asks the portal for a session, binds Ctrl+Shift+J in it and runs
// `onTrigger` each time the portal reports the shortcut. Everything is
// asynchronous; where no portal answers, nothing happens and nothing is
// reported.
class PortalGlobalShortcut : public QObject {
    Q_OBJECT
public:
    static inline const QString shortcutID = QStringLiteral("quick-ask");

    PortalGlobalShortcut(QDBusConnection bus, std::function<void()> onTrigger, QObject* parent = nullptr);
    // Whether the portal bound the shortcut.
    bool isBound() const { return bound_; }

signals:
    void boundChanged();

private slots:
    void sessionCreated(uint response, const QVariantMap& results);
    void shortcutsBound(uint response, const QVariantMap& results);
    void activated(const QDBusMessage& message);

private:
    // Calls a portal method that answers through a Request object's
    // Response signal, which is connected to `slot` first.
    void request(const QString& method, QList<QVariant> arguments, const QString& token, const char* slot);

    QDBusConnection bus_;
    std::function<void()> onTrigger_;
    QString session_;
    bool bound_ = false;
};

} // namespace vivirov
