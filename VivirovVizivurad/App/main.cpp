#include <QApplication>

#include "VivirovVizivurad/App/MainWindow.h"
#include "VivirovVizivurad/EngineHost/EngineTeardownRegistry.h"
#include "VivirovVizivurad/EngineHost/ThreadBudget.h"

int main(int argc, char** argv) {
    // Before any worker starts: the pool and the engine share one thread count.
    vivirov::ThreadBudget::applyAtStartup();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vivirov"));
    QApplication::setOrganizationName(QStringLiteral("com.dudive.vivirov"));
    // Engines let go of their resources at quit, each bounding its own wait.
    QObject::connect(&app, &QCoreApplication::aboutToQuit,
                     [] { vivirov::EngineTeardownRegistry::shared().shutdownAll(); });
    vivirov::MainWindow window;
    window.show();
    return app.exec();
}
