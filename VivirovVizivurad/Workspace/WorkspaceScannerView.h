#pragma once
#include <QWidget>

class QLabel;
class QListWidget;

namespace vivirov {

class WorkspaceScannerModel;

// The "WORKSPACE" panel under the sidebar: header, hint or folder name, and
// one row per listed entry. All state lives in the model.
class WorkspaceScannerView : public QWidget {
    Q_OBJECT
public:
    explicit WorkspaceScannerView(WorkspaceScannerModel& model, QWidget* parent = nullptr);

    QListWidget* list() const { return list_; }
    QLabel* hint() const { return hint_; }
    QLabel* folderLabel() const { return folder_; }

private:
    void refresh();

    WorkspaceScannerModel& model_;
    QLabel* hint_;
    QLabel* folder_;
    QListWidget* list_;
};

} // namespace vivirov
