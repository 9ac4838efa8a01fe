#pragma once
#include <QObject>
#include <QSettings>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

#include "VivirovVizivurad/Workspace/WorkspaceEntry.h"

namespace vivirov {

// The workspace panel's state: the stored root folder, its listing and the
// highlighted row. The folder chooser is handed in, so tests can answer it.
class WorkspaceScannerModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString rootPath READ rootPath WRITE setRootPath NOTIFY rootPathChanged)
    Q_PROPERTY(QString selected READ selected WRITE select NOTIFY selectedChanged)

public:
    static inline const QString kRootKey = QStringLiteral("vivirov.vizivurad.workspaceRoot");
    // Answers the chosen folder's path, or nothing when the user cancels.
    using FolderChooser = std::function<std::optional<QString>()>;

    WorkspaceScannerModel(QSettings& settings, FolderChooser chooser, QObject* parent = nullptr);

    QString rootPath() const { return rootPath_; }
    // Stores the root; a new value rescans.
    void setRootPath(const QString& path);
    const std::vector<WorkspaceEntry>& entries() const { return entries_; }
    QString selected() const { return selected_; }
    void select(const QString& id);

    void rescan();
    void pickFolder();
    // What the panel shows above the list: the folder's own name.
    QString folderName() const;

    // The modal chooser of a directory with the panel's message.
    static std::optional<QString> chooseWithDialog();

signals:
    void rootPathChanged();
    void entriesChanged();
    void selectedChanged();

private:
    QSettings& settings_;
    FolderChooser chooser_;
    QString rootPath_;
    std::vector<WorkspaceEntry> entries_;
    QString selected_;
};

} // namespace vivirov
