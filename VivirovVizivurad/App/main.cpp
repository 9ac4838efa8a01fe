#include <QApplication>

#include "VivirovVizivurad/App/MainWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vivirov"));
    QApplication::setOrganizationName(QStringLiteral("com.dudive.vivirov"));
    vivirov::MainWindow window;
    window.show();
    return app.exec();
}
