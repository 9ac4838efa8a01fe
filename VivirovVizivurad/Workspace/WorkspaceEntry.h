#pragma once
#include <QString>

namespace vivirov {

// One top-level item of the workspace folder; `id` is its full path.
struct WorkspaceEntry {
    QString id;
    QString name;
    QString path;
    bool isDir = false;
    bool operator==(const WorkspaceEntry&) const = default;
};

} // namespace vivirov
