#include "VivirovVizivurad/App/MainWindow.h"

namespace vivirov {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Vivirov"));
    resize(1280, 860);
}

} // namespace vivirov
