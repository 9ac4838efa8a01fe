#pragma once
#include <QDBusConnection>
#include <QUrl>

namespace vivirov {

// Shows a file selected in the desktop's file manager through its
// org.freedesktop.FileManager1 interface; where nothing answers, opens the
// file's folder instead. Returns at once; the answer comes later.
class FileReveal {
public:
    explicit FileReveal(QDBusConnection bus = QDBusConnection::sessionBus());

    void reveal(const QUrl& fileUrl) const;

    static void openParentFolder(const QUrl& fileUrl);

private:
    QDBusConnection bus_;
};

} // namespace vivirov
