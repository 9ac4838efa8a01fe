#include "VivirovVizivurad/App/ContentView.h"

#include <QApplication>
#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QShortcut>
#include <QSplitter>
#include <QVBoxLayout>

#include "VivirovVizivurad/App/Columns/DetailPane.h"
#include "VivirovVizivurad/App/ContentViewModel.h"
#include "VivirovVizivurad/App/Layout/GlassPanel.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/App/PlaceholderSheet.h"
#include "VivirovVizivurad/App/Sidebar/NavigationSidebarView.h"
#include "VivirovVizivurad/App/Sidebar/SidebarModel.h"
#include "VivirovVizivurad/Appearance/Appearance.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "VivirovVizivurad/Inspector/InspectorColumn.h"
#include "VivirovVizivurad/Workspace/WorkspaceScannerView.h"

namespace vivirov {
namespace {

constexpr int kLeftMin = 240, kLeftIdeal = 280, kLeftMax = 360;
constexpr int kCentreMin = 480, kCentreIdeal = 720;
constexpr int kInspectorMin = 260, kInspectorIdeal = 300, kInspectorMax = 360;
constexpr int kScannerMin = 180, kScannerMax = 280;

// Empties a column so it can be built afresh.
void clear(QWidget* column) {
    for (QObject* child : column->children())
        if (child->isWidgetType()) delete child;
}

QVBoxLayout* bareLayout(QWidget* widget) {
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    return layout;
}

} // namespace

ContentView::ContentView(ContentViewModel& model, QSettings& settings, WorkspaceScannerModel::FolderChooser chooser,
                         QWidget* parent)
    : QWidget(parent), model_(model), settings_(settings), chooser_(std::move(chooser)) {
    auto* layout = bareLayout(this);
    strip_ = new QWidget(this);
    strip_->setFixedHeight(ContentViewModel::titleBarInset);
    layout->addWidget(strip_);
    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setChildrenCollapsible(false);
    splitter_->setHandleWidth(1);
    left_ = new GlassPanel(GlassPanel::Material::sidebar, GlassPanel::Blending::behindWindow, splitter_);
    centre_ = new QWidget(splitter_);
    right_ = new GlassPanel(GlassPanel::Material::hudWindow, GlassPanel::Blending::behindWindow, splitter_);
    for (QWidget* column : {left_, centre_, right_}) bareLayout(column);
    left_->setMinimumWidth(kLeftMin);
    left_->setMaximumWidth(kLeftMax);
    centre_->setMinimumWidth(kCentreMin);
    splitter_->setStretchFactor(1, 1);
    layout->addWidget(splitter_, 1);

    toast_ = new QLabel(this);
    toast_->setAlignment(Qt::AlignCenter);
    toast_->setStyleSheet(QStringLiteral("QLabel { background: rgba(127,127,127,60); border-radius: 14px;"
                                         " padding: 8px 16px; font-size: 12px; font-weight: 500; }"));
    toast_->hide();

    auto* inspectorKey = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+I")), this);
    connect(inspectorKey, &QShortcut::activated, &model_, &ContentViewModel::toggleInspector);
    auto* deepReadKey = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+R")), this);
    connect(deepReadKey, &QShortcut::activated, &model_, &ContentViewModel::toggleDeepRead);

    connect(&Appearance::shared(), &Appearance::revisionChanged, this, &ContentView::buildColumns);
    connect(&model_, &ContentViewModel::inspectorPresentedChanged, this, &ContentView::placeInspector);
    connect(&model_, &ContentViewModel::controllerAttached, this, &ContentView::controllerArrived);
    connect(&VizivuradEngine::shared(), &VizivuradEngine::loadingStatusChanged, this, &ContentView::showLoading);

    buildColumns();
    splitter_->setSizes({kLeftIdeal, kCentreIdeal, kInspectorIdeal});
    showLoading();
    if (model_.controller()) controllerArrived();
}

void ContentView::buildColumns() {
    const QList<int> sizes = splitter_->sizes();
    clear(left_);
    clear(centre_);
    clear(right_);
    delete sidebarModel_;
    delete scannerModel_;

    sidebarModel_ = new SidebarModel(model_.router(), model_.controller(), this);
    sidebar_ = new NavigationSidebarView(*sidebarModel_, left_);
    left_->layout()->addWidget(sidebar_);
    auto* divider = new QFrame(left_);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    auto* dim = new QGraphicsOpacityEffect(divider);
    dim->setOpacity(0.4);
    divider->setGraphicsEffect(dim);
    left_->layout()->addWidget(divider);
    scannerModel_ = new WorkspaceScannerModel(settings_, chooser_, this);
    scanner_ = new WorkspaceScannerView(*scannerModel_, left_);
    scanner_->setMinimumHeight(kScannerMin);
    scanner_->setMaximumHeight(kScannerMax);
    left_->layout()->addWidget(scanner_);
    // The sidebar takes all the height the scanner leaves.
    static_cast<QVBoxLayout*>(left_->layout())->setStretch(0, 1);

    detail_ = new DetailPane(model_, centre_);
    centre_->layout()->addWidget(detail_);

    inspector_ = new InspectorColumn(model_, right_);
    right_->layout()->addWidget(inspector_);

    placeInspector();
    if (sizes.size() == 3 && sizes[0] > 0) splitter_->setSizes(sizes);
}

void ContentView::placeInspector() {
    const bool shown = model_.isInspectorPresented();
    inspector_->setVisible(shown);
    right_->setMinimumWidth(shown ? kInspectorMin : 0);
    right_->setMaximumWidth(shown ? kInspectorMax : 0);
    QList<int> sizes = splitter_->sizes();
    if (sizes.size() == 3) {
        const int total = sizes[1] + sizes[2];
        sizes[2] = shown ? kInspectorIdeal : 0;
        sizes[1] = std::max(kCentreMin, total - sizes[2]);
        splitter_->setSizes(sizes);
    }
}

void ContentView::showLoading() {
    const QString status = VizivuradEngine::shared().loadingStatus();
    toast_->setText(status);
    toast_->setVisible(!status.isEmpty());
    toast_->adjustSize();
    toast_->move((width() - toast_->width()) / 2, height() - toast_->height() - 24);
    toast_->raise();
}

void ContentView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    showLoading();
}

void ContentView::controllerArrived() {
    QuintoraViewModel* vm = model_.controller();
    if (!vm) return;
    buildColumns();
    connect(vm, &QuintoraViewModel::showVaultChanged, this, &ContentView::syncVault, Qt::UniqueConnection);
    connect(vm, &QuintoraViewModel::deepReadModeChanged, this, &ContentView::deepReadChanged, Qt::UniqueConnection);
    setupQuickAsk();
    syncVault();
}

void ContentView::syncVault() {
    QuintoraViewModel* vm = model_.controller();
    if (!vm || vm->showVault() == (vaultSheet_ != nullptr)) return;
    if (!vm->showVault()) {
        vaultSheet_->close();
        return;
    }
    vaultSheet_ = new PlaceholderSheet(QStringLiteral("gearshape.2.fill"), QStringLiteral("Settings & Vault"), window());
    vaultSheet_->setAttribute(Qt::WA_DeleteOnClose);
    connect(vaultSheet_, &PlaceholderSheet::closed, this, [this] {
        vaultSheet_ = nullptr;
        if (QuintoraViewModel* vm = model_.controller()) vm->setShowVault(false);
    });
    vaultSheet_->open();
}

void ContentView::setupQuickAsk() {
    quickAsk_.mainWindow = window();
    quickAsk_.canSubmit = [this] {
        // A question that cannot start a turn now stays in the panel instead of vanishing.
        QuintoraViewModel* vm = model_.controller();
        return vm && !vm->anyStreaming() && !vm->isSwapping();
    };
    quickAsk_.onSubmit = [this](const QString& question) {
        QuintoraViewModel* vm = model_.controller();
        if (!vm) return;
        model_.router().setCurrentRoute(AppRoute::chat);
        // The question goes through the composer's text; what the user had
        // typed there is put back once the turn has taken the question.
        const std::string draft = vm->input();
        vm->submitQuickAsk(question.toStdString());
        if (vm->input().empty()) vm->setInput(draft);
    };
    quickAsk_.installGlobalHotkey();
}

void ContentView::deepReadChanged() {
    if (QuintoraViewModel* vm = model_.controller()) applyDeepRead(vm->deepReadMode());
}

void ContentView::applyDeepRead(bool on) {
    // The hosting window is known once the view sits in a shown window.
    QWidget* host = window()->windowHandle() ? window() : nullptr;
    deepRead_.apply(on, host, QApplication::topLevelWidgets());
}

} // namespace vivirov
