#pragma once
#include <QString>
#include <QStringList>

#include <vector>

#include "VivirovVizivurad/Workspace/WorkspaceEntry.h"

namespace vivirov {

// The rules of the workspace panel's listing, free of any view.
class WorkspaceListing {
public:
    static constexpr int cap = 80;

    // The top level of `root`: hidden and tool folders dropped, sorted by code
    // point (upper-case before lower-case, "a10" before "a2"), the first 80
    // kept. Empty for an empty, missing or unreadable root.
    static std::vector<WorkspaceEntry> scan(const QString& root);
    // The names of a directory as listed, unfiltered; fails as an empty list.
    static QStringList listNames(const QString& root);
    // Whether a listed name is left out of the panel.
    static bool isSkipped(const QString& name);
    // Code-point order of the canonically composed names.
    static bool lessByCodePoint(const QString& a, const QString& b);
    // The symbol for a file's name, by its lower-cased extension.
    static QString icon(const QString& fileName);

    WorkspaceListing() = delete;
};

} // namespace vivirov
