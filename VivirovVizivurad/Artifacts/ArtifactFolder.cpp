#include "VivirovVizivurad/Artifacts/ArtifactFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

static void initRuntimeResources() { Q_INIT_RESOURCE(artifact_runtime); }

namespace vivirov {

namespace {
// Staged copies verified in this process, by path: size and modification
// time at verification, so a warm folder costs a stat per runtime.
struct Verified {
    qint64 size;
    qint64 modified;
};
QHash<QString, Verified>& verifiedCopies() {
    static QHash<QString, Verified> copies;
    return copies;
}

Verified stamp(const QFileInfo& info) {
    return {info.size(), info.lastModified().toMSecsSinceEpoch()};
}
} // namespace

const QStringList ArtifactFolder::runtimeFiles = {
    QStringLiteral("react.production.min.js"), QStringLiteral("react-dom.production.min.js"),
    QStringLiteral("babel.min.js"), QStringLiteral("mermaid.min.js")};

QString ArtifactFolder::defaultPath() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) return runtime + QStringLiteral("/vivirov-artifacts");
    return QDir::tempPath() + QStringLiteral("/vivirov-artifacts-") + QString::number(getuid());
}

bool ArtifactFolder::prepare(const QString& folder) {
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        QDir().mkpath(QFileInfo(folder).absolutePath());
        if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode) || info.st_uid != getuid()) return false;
    if ((info.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0) return false;
    return ::access(path.constData(), W_OK) == 0;
}

void ArtifactFolder::stageRuntime(const QString& folder, const QString& resources) {
    static const bool ready = (initRuntimeResources(), true);
    (void)ready;
    for (const QString& name : runtimeFiles) {
        const QString destination = folder + u'/' + name;
        const QFileInfo staged(destination);
        const auto known = verifiedCopies().constFind(destination);
        if (staged.exists() && known != verifiedCopies().cend() && known->size == stamp(staged).size &&
            known->modified == stamp(staged).modified)
            continue;

        QFile resource(resources + name);
        if (!resource.open(QIODevice::ReadOnly)) continue;
        const QByteArray wanted = resource.readAll();
        QFile current(destination);
        if (current.open(QIODevice::ReadOnly) && current.size() == wanted.size() && current.readAll() == wanted) {
            verifiedCopies().insert(destination, stamp(QFileInfo(destination)));
            continue;
        }
        current.close();
        QSaveFile copy(destination);
        if (!copy.open(QIODevice::WriteOnly) || copy.write(wanted) != wanted.size() || !copy.commit()) continue;
        verifiedCopies().insert(destination, stamp(QFileInfo(destination)));
    }
}

} // namespace vivirov
