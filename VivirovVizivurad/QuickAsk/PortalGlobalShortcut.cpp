#include "VivirovVizivurad/QuickAsk/PortalGlobalShortcut.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QRandomGenerator>

namespace vivirov {
namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");

// One entry of BindShortcuts' a(sa{sv}).
struct Shortcut {
    QString id;
    QVariantMap properties;
};
using Shortcuts = QList<Shortcut>;

QDBusArgument& operator<<(QDBusArgument& out, const Shortcut& shortcut) {
    out.beginStructure();
    out << shortcut.id << shortcut.properties;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, Shortcut& shortcut) {
    in.beginStructure();
    in >> shortcut.id >> shortcut.properties;
    in.endStructure();
    return in;
}

QString token() { return QStringLiteral("vivirov%1").arg(QRandomGenerator::global()->generate()); }

} // namespace
} // namespace vivirov

Q_DECLARE_METATYPE(vivirov::Shortcut)

namespace vivirov {

PortalGlobalShortcut::PortalGlobalShortcut(QDBusConnection bus, std::function<void()> onTrigger, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), onTrigger_(std::move(onTrigger)) {
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<Shortcuts>();
    if (!bus_.isConnected()) return;
    bus_.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this, SLOT(activated(QDBusMessage)));
    const QString handle = token();
    QVariantMap options{{QStringLiteral("handle_token"), handle},
                        {QStringLiteral("session_handle_token"), token()}};
    request(QStringLiteral("CreateSession"), {options}, handle, SLOT(sessionCreated(uint, QVariantMap)));
}

void PortalGlobalShortcut::request(const QString& method, QList<QVariant> arguments, const QString& handle,
                                   const char* slot) {
    // The portal names the Request object after our bus name and the token.
    QString sender = bus_.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString requestPath = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + handle;
    bus_.connect(kService, requestPath, kRequest, QStringLiteral("Response"), this, slot);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    bus_.asyncCall(call);
}

void PortalGlobalShortcut::sessionCreated(uint response, const QVariantMap& results) {
    if (response != 0) return;
    session_ = results.value(QStringLiteral("session_handle")).toString();
    if (session_.isEmpty()) return;
    const Shortcuts shortcuts{{shortcutID,
                               {{QStringLiteral("description"), QStringLiteral("Summon the Quick Ask panel")},
                                {QStringLiteral("preferred_trigger"), QStringLiteral("CTRL+SHIFT+j")}}}};
    const QString handle = token();
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts), QString(),
             QVariantMap{{QStringLiteral("handle_token"), handle}}},
            handle, SLOT(shortcutsBound(uint, QVariantMap)));
}

void PortalGlobalShortcut::shortcutsBound(uint response, const QVariantMap&) {
    if (response != 0 || bound_) return;
    bound_ = true;
    emit boundChanged();
}

void PortalGlobalShortcut::activated(const QDBusMessage& message) {
    // (o session_handle, s shortcut_id, t timestamp, a{sv} options)
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() < 2) return;
    const QString session = arguments[0].value<QDBusObjectPath>().path();
    if (!session_.isEmpty() && session == session_ && arguments[1].toString() == shortcutID && onTrigger_) onTrigger_();
}

} // namespace vivirov
