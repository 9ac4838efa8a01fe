#include "VivirovVizivurad/QuickAsk/QuickAskPanel.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWindow>

#include "VivirovVizivurad/App/Columns/DeepReadSwitch.h"
#include "VivirovVizivurad/QuickAsk/QuickAskContentView.h"
#include "VivirovVizivurad/QuickAsk/QuickAskLayout.h"

// X11 last: its macros (None, KeyPress, Status, ...) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace vivirov {

QuickAskPanel::QuickAskPanel(QuickAskController& controller)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("quick-ask-panel"));
    setWindowTitle(QStringLiteral("Quick Ask"));
    DeepReadSwitch::markQuickAskPanel(this);
    setAttribute(Qt::WA_TranslucentBackground);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    content_ = new QuickAskContentView(controller, this);
    layout->addWidget(content_);
    resize(QuickAskLayout::panelWidth, QuickAskLayout::panelHeight(1));
}

void QuickAskPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && windowHandle()) windowHandle()->startSystemMove();
    QWidget::mousePressEvent(event);
}

void QuickAskPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    stickToAllWorkspaces();
}

// Asks the X11 window manager to show the panel on every workspace. Other
// platforms have no such request; there the panel stays where it opened.
void QuickAskPanel::stickToAllWorkspaces() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return;
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = Window(winId());
    message.xclient.message_type = XInternAtom(display, "_NET_WM_DESKTOP", False);
    message.xclient.format = 32;
    message.xclient.data.l[0] = long(0xFFFFFFFF);
    message.xclient.data.l[1] = 1; // from an application
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &message);
    XCloseDisplay(display);
}

} // namespace vivirov
