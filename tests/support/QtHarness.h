#pragma once
// Qt test harness: one QApplication for the test binary (offscreen platform)
// and a bounded wait that keeps the GUI event loop turning.
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <chrono>
#include <functional>

namespace vivirov::test {

inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "vivirov-tests";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Runs the event loop until `condition` holds or `limitMs` passes.
inline bool qtWaitUntil(const std::function<bool()>& condition, int limitMs = 10000) {
    qtApp();
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

} // namespace vivirov::test
