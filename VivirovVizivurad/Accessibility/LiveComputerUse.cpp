#include <QGuiApplication>
#include <QMetaObject>
#include <QScreen>
#include <QThread>

#include "VivirovVizivurad/Accessibility/AtspiBackend.h"
#include "VivirovVizivurad/Accessibility/ComputerUse.h"

namespace vivirov {

namespace {

// The main screen's area without panels, read on the GUI thread: directly
// there, else by a blocking hop to it. None without a GUI application or screen.
std::optional<ScreenRect> mainVisibleFrame() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app) return std::nullopt;
    std::optional<ScreenRect> frame;
    auto read = [&frame] {
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            frame = ScreenRect{double(area.x()), double(area.y()), double(area.width()), double(area.height())};
        }
    };
    if (QThread::currentThread() == app->thread()) read();
    else QMetaObject::invokeMethod(app, read, Qt::BlockingQueuedConnection);
    return frame;
}

} // namespace

std::shared_ptr<ComputerUse> ComputerUse::live() {
    // One for the process: its lock keeps the library's calls one at a time.
    static const auto shared = std::make_shared<ComputerUse>(std::make_shared<AtspiBackend>(), mainVisibleFrame);
    return shared;
}

} // namespace vivirov
