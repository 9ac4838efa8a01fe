#include "VivirovVizivurad/Markdown/FileReveal.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>

namespace vivirov {

FileReveal::FileReveal(QDBusConnection bus) : bus_(std::move(bus)) {}

void FileReveal::openParentFolder(const QUrl& fileUrl) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(fileUrl.toLocalFile()).absolutePath()));
}

void FileReveal::reveal(const QUrl& fileUrl) const {
    if (!bus_.isConnected()) {
        openParentFolder(fileUrl);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{fileUrl.toString(QUrl::FullyEncoded)} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [fileUrl](QDBusPendingCallWatcher* done) {
        if (done->isError()) openParentFolder(fileUrl);
        done->deleteLater();
    });
}

} // namespace vivirov
