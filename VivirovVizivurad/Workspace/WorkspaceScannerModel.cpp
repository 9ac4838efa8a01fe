#include "VivirovVizivurad/Workspace/WorkspaceScannerModel.h"

#include <QFileDialog>
#include <QFileInfo>

#include "VivirovVizivurad/Workspace/WorkspaceListing.h"

namespace vivirov {

WorkspaceScannerModel::WorkspaceScannerModel(QSettings& settings, FolderChooser chooser, QObject* parent)
    : QObject(parent), settings_(settings), chooser_(std::move(chooser)),
      rootPath_(settings.value(kRootKey).toString()) {
    rescan();
}

void WorkspaceScannerModel::setRootPath(const QString& path) {
    if (path == rootPath_) return;
    rootPath_ = path;
    settings_.setValue(kRootKey, path);
    emit rootPathChanged();
    rescan();
}

void WorkspaceScannerModel::select(const QString& id) {
    if (id == selected_) return;
    selected_ = id;
    emit selectedChanged();
}

void WorkspaceScannerModel::rescan() {
    entries_ = WorkspaceListing::scan(rootPath_);
    emit entriesChanged();
}

void WorkspaceScannerModel::pickFolder() {
    if (!chooser_) return;
    if (auto chosen = chooser_()) setRootPath(*chosen);
}

QString WorkspaceScannerModel::folderName() const {
    QString path = rootPath_;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
    return QFileInfo(path).fileName().isEmpty() ? path : QFileInfo(path).fileName();
}

std::optional<QString> WorkspaceScannerModel::chooseWithDialog() {
    QFileDialog dialog(nullptr, QStringLiteral("Select Vivirov workspace root"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().front();
}

} // namespace vivirov
