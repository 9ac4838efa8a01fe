#pragma once
// The application object for tests that use Qt WebEngine, which must be set
// up before the application exists: no sandbox (tests run as root) and GL
// contexts shared across threads.
#include <QByteArray>
#include <QCoreApplication>

#include "tests/support/QtHarness.h"

namespace vivirov::test {

inline QApplication& webApp() {
    static bool configured = [] {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        qputenv("QT_LOGGING_RULES", "qt.webenginecontext.info=false");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        return true;
    }();
    (void)configured;
    return qtApp();
}

} // namespace vivirov::test
