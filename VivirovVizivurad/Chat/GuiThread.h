#pragma once
#include <QCoreApplication>
#include <QMetaObject>
#include <functional>

namespace vivirov {

// Runs `job` on the GUI thread in a later turn of its event loop; callable
// from any thread. Dropped (never run) once the application object is gone,
// so a job must not be the only owner of something that has to finish.
inline void postToGui(std::function<void()> job) {
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(job), Qt::QueuedConnection);
}

} // namespace vivirov
