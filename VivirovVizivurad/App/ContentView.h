#pragma once
#include <QWidget>

#include "VivirovVizivurad/App/Columns/DeepReadSwitch.h"
#include "VivirovVizivurad/QuickAsk/QuickAskController.h"
#include "VivirovVizivurad/Workspace/WorkspaceScannerModel.h"

class QLabel;
class QSettings;
class QSplitter;

namespace vivirov {

class ContentViewModel;
class DetailPane;
class InspectorColumn;
class NavigationSidebarView;
class PlaceholderSheet;
class SidebarModel;
class WorkspaceScannerView;

// The main window's root: a 28-point clear strip over a three-column
// splitter (sidebar over the workspace panel, the route screens with their
// overlays, the inspector, which stays as a zero-width column while hidden),
// the window shortcuts, deep-read mode, the engine loading toast, the
// Settings & Vault sheet and the Quick Ask panel's controller.
// An appearance change rebuilds the columns; the model's state survives.
class ContentView : public QWidget {
    Q_OBJECT
public:
    ContentView(ContentViewModel& model, QSettings& settings, WorkspaceScannerModel::FolderChooser chooser,
                QWidget* parent = nullptr);

    QSplitter* splitter() const { return splitter_; }
    QWidget* titleStrip() const { return strip_; }
    NavigationSidebarView* sidebar() const { return sidebar_; }
    WorkspaceScannerView* scanner() const { return scanner_; }
    DetailPane* detail() const { return detail_; }
    InspectorColumn* inspector() const { return inspector_; }
    QLabel* loadingToast() const { return toast_; }
    bool showsVault() const { return vaultSheet_ != nullptr; }

    QuickAskController& quickAsk() { return quickAsk_; }

    // Darkens the window for reading, or gives it back the look it had.
    void applyDeepRead(bool on);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildColumns();
    void placeInspector();
    void showLoading();
    void syncVault();
    void deepReadChanged();
    void setupQuickAsk();
    void controllerArrived();

    ContentViewModel& model_;
    QSettings& settings_;
    WorkspaceScannerModel::FolderChooser chooser_;
    QWidget* strip_;
    QSplitter* splitter_;
    QWidget* left_;
    QWidget* centre_;
    QWidget* right_;
    SidebarModel* sidebarModel_ = nullptr;
    NavigationSidebarView* sidebar_ = nullptr;
    WorkspaceScannerModel* scannerModel_ = nullptr;
    WorkspaceScannerView* scanner_ = nullptr;
    DetailPane* detail_ = nullptr;
    InspectorColumn* inspector_ = nullptr;
    DeepReadSwitch deepRead_;
    QuickAskController quickAsk_;
    QLabel* toast_;
    PlaceholderSheet* vaultSheet_ = nullptr;
};

} // namespace vivirov
