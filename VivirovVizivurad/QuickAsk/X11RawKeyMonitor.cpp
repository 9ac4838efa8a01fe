#include "VivirovVizivurad/QuickAsk/X11RawKeyMonitor.h"

#include <QGuiApplication>
#include <QSocketNotifier>

#include "VivirovVizivurad/QuickAsk/QuickAskTrigger.h"

// X11 last: its macros (None, KeyPress, Status, ...) would break the headers above.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

namespace vivirov {
namespace {

unsigned int maskOf(unsigned long keysym) {
    switch (keysym) {
    case XK_Shift_L:
    case XK_Shift_R: return ShiftMask;
    case XK_Control_L:
    case XK_Control_R: return ControlMask;
    case XK_Alt_L:
    case XK_Alt_R:
    case XK_Meta_L:
    case XK_Meta_R: return Mod1Mask;
    case XK_Super_L:
    case XK_Super_R:
    case XK_Hyper_L:
    case XK_Hyper_R: return Mod4Mask;
    default: return 0;
    }
}

} // namespace

std::unique_ptr<X11RawKeyMonitor> X11RawKeyMonitor::open(std::function<void()> onTrigger) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return nullptr;
    int opcode = 0, event = 0, error = 0, major = 2, minor = 2;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error) ||
        XIQueryVersion(display, &major, &minor) != Success) {
        XCloseDisplay(display);
        return nullptr;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
    XFlush(display);
    return std::unique_ptr<X11RawKeyMonitor>(new X11RawKeyMonitor(display, opcode, std::move(onTrigger)));
}

X11RawKeyMonitor::X11RawKeyMonitor(Display* display, int opcode, std::function<void()> onTrigger)
    : display_(display), opcode_(opcode), onTrigger_(std::move(onTrigger)),
      notifier_(std::make_unique<QSocketNotifier>(ConnectionNumber(display), QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { drain(); });
}

X11RawKeyMonitor::~X11RawKeyMonitor() {
    notifier_.reset();
    XCloseDisplay(display_);
}

unsigned int X11RawKeyMonitor::modifierState() const {
    unsigned int state = 0;
    for (unsigned long keysym : heldModifiers_) state |= maskOf(keysym);
    return state;
}

void X11RawKeyMonitor::drain() {
    while (XPending(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != opcode_ || !XGetEventData(display_, cookie)) continue;
        const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
        const unsigned long keysym = XkbKeycodeToKeysym(display_, KeyCode(raw->detail), 0, 0);
        const bool press = cookie->evtype == XI_RawKeyPress;
        bool trigger = false;
        if (maskOf(keysym)) {
            if (press) heldModifiers_.insert(keysym);
            else if (auto held = heldModifiers_.find(keysym); held != heldModifiers_.end()) heldModifiers_.erase(held);
        } else if (press) {
            trigger = QuickAskTrigger::matchesX11(keysym, modifierState());
        }
        XFreeEventData(display_, cookie);
        if (trigger && onTrigger_) onTrigger_();
    }
}

} // namespace vivirov
