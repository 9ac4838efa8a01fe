#pragma once
#include <QString>
#include <QStringList>

namespace vivirov {

// The folder artifact pages are served from, next to copies of the script
// runtimes they load. It is private to the user (mode 0700, owned by us, no
// symbolic link): a folder others could write would let them plant scripts
// that run in our web view.
class ArtifactFolder {
public:
    // In the order they are staged.
    static const QStringList runtimeFiles;
    static inline const QString resourcePrefix = QStringLiteral(":/artifact-runtime/");

    // $XDG_RUNTIME_DIR/vivirov-artifacts, or vivirov-artifacts-<uid> in the
    // temporary directory when there is no runtime directory.
    static QString defaultPath();
    // Creates the folder as needed; false when it cannot be made or is not
    // safely ours.
    static bool prepare(const QString& folder);
    // Copies each runtime whose staged copy is missing or differs in content;
    // a runtime that cannot be found or copied is skipped.
    static void stageRuntime(const QString& folder, const QString& resources = resourcePrefix);

    ArtifactFolder() = delete;
};

} // namespace vivirov
