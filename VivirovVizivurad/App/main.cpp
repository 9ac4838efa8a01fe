#include <QApplication>

#include <memory>

#include "VivirovVizivurad/Accessibility/HeadlessUIDump.h"
#include "VivirovVizivurad/App/LaunchSteps.h"
#include "VivirovVizivurad/App/MainWindow.h"
#include "VivirovVizivurad/App/MemoryFlush.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/Chat/AppServicesFactory.h"
#include "VivirovVizivurad/Chat/ControllerStartup.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/EngineHost/EngineTeardownRegistry.h"
#include "VivirovVizivurad/EngineHost/ThreadBudget.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"

// The composition root: the window shows at once; the chat controller joins
// it once its services are set up off the GUI thread.
int main(int argc, char** argv) {
    // Before any worker starts: the pool and the engine share one thread count.
    vivirov::ThreadBudget::applyAtStartup();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vivirov"));
    QApplication::setOrganizationName(QStringLiteral("com.dudive.vivirov"));
    vivirov::runHeadlessDumpIfRequested(); // with VIVIROV_UIDUMP set, prints the check and exits

    // The process-wide GUI objects belong to the GUI thread: create them here.
    vivirov::VizivuradEngine::shared();
    vivirov::AgentActivityModel::shared();
    vivirov::SwarmOrchestrator::shared();
    // Engines let go of their resources at quit, each bounding its own wait.
    QObject::connect(&app, &QCoreApplication::aboutToQuit,
                     [] { vivirov::EngineTeardownRegistry::shared().shutdownAll(); });
    vivirov::NavigationRouter router; // every launch starts on the chat route
    vivirov::MainWindow window(router, vivirov::LaunchSteps::isConsoleRoot(QProcessEnvironment::systemEnvironment()));
    window.show();
    vivirov::MemoryFlush::shared().install();

    auto services = std::make_shared<vivirov::AppServicesFactory>();
    std::unique_ptr<vivirov::QuintoraViewModel> controller;
    auto startup = std::make_unique<vivirov::ControllerStartup>(
        services, [&](std::unique_ptr<vivirov::QuintoraViewModel> built) {
            controller = std::move(built);
            window.attachController(*controller);
        });

    const int status = app.exec();
    startup.reset(); // a set-up still running is waited for, and its controller never built
    if (controller) controller->shutdownForTermination();
    controller.reset(); // writes the rows still queued
    return status;
}
