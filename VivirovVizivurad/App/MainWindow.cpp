#include "VivirovVizivurad/App/MainWindow.h"

#include <QSettings>

#include "VivirovVizivurad/App/ContentView.h"
#include "VivirovVizivurad/App/ContentViewModel.h"
#include "VivirovVizivurad/App/RoutePlaceholder.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/EngineHost/CognitiveYieldController.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"

namespace vivirov {

MainWindow::MainWindow(NavigationRouter& router, bool consoleRoot, QWidget* parent)
    : QMainWindow(parent), settings_(std::make_unique<QSettings>()) {
    setWindowTitle(QStringLiteral("Vivirov"));
    setMinimumSize(1200, 720);
    resize(1280, 860);
    if (consoleRoot) {
        setCentralWidget(new RoutePlaceholder(QStringLiteral("brain"),
                                              QStringLiteral("Ruzor-Avir \u00B7 Qwen2.5"), this));
        return;
    }
    // The in-process engine boots while the window runs; its model loads on a worker.
    ContentViewModel::Hooks hooks;
    hooks.engineBootstrap = [] { VizivuradEngine::shared().bootstrap(std::nullopt); };
    hooks.installYield = [] { CognitiveYieldController::shared().install(); };
    model_ = new ContentViewModel(router, SwarmOrchestrator::shared(), std::move(hooks), this);
    content_ = new ContentView(*model_, *settings_, &WorkspaceScannerModel::chooseWithDialog, this);
    setCentralWidget(content_);
}

MainWindow::~MainWindow() = default;

void MainWindow::attachController(QuintoraViewModel& vm) {
    if (model_) model_->attachController(vm);
}

} // namespace vivirov
