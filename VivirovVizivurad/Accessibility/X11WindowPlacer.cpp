#include "VivirovVizivurad/Accessibility/X11WindowPlacer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>
#include <optional>
#include <vector>

namespace vivirov {

namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

std::vector<unsigned char> property(Display* display, Window window, Atom name, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned char> bytes;
    if (XGetWindowProperty(display, window, name, 0, 1 << 16, False, type, &actualType, &format, &count, &remaining,
                           &data) == Success &&
        data) {
        const size_t unit = format == 32 ? sizeof(long) : size_t(format / 8);
        bytes.assign(data, data + count * unit);
        XFree(data);
    }
    return bytes;
}

std::optional<long> cardinal(Display* display, Window window, Atom name) {
    auto bytes = property(display, window, name, XA_CARDINAL);
    if (bytes.size() < sizeof(long)) return std::nullopt;
    return *reinterpret_cast<const long*>(bytes.data());
}

std::vector<Window> windowList(Display* display, Window window, Atom name) {
    auto bytes = property(display, window, name, XA_WINDOW);
    std::vector<Window> out(bytes.size() / sizeof(long));
    for (size_t i = 0; i < out.size(); ++i) out[i] = Window(reinterpret_cast<const long*>(bytes.data())[i]);
    return out;
}

std::string title(Display* display, Window window) {
    auto utf8 = property(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                         XInternAtom(display, "UTF8_STRING", False));
    if (!utf8.empty()) return std::string(utf8.begin(), utf8.end());
    auto plain = property(display, window, XA_WM_NAME, XA_STRING);
    return std::string(plain.begin(), plain.end());
}

} // namespace

bool X11WindowPlacer::place(int pid, const std::string& wanted, int x, int y, int w, int h) {
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) return false;
    Display* d = display.get();
    const Window root = DefaultRootWindow(d);
    const Atom pidAtom = XInternAtom(d, "_NET_WM_PID", False);

    const bool managed = !windowList(d, root, XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False)).empty();
    std::vector<Window> candidates;
    if (managed) {
        candidates = windowList(d, root, XInternAtom(d, "_NET_CLIENT_LIST", False));
    } else {
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(d, root, &rootReturn, &parent, &children, &count) && children) {
            candidates.assign(children, children + count);
            XFree(children);
        }
    }

    std::optional<Window> chosen;
    for (Window window : candidates) {
        if (cardinal(d, window, pidAtom) != long(pid)) continue;
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(d, window, &attributes) || attributes.map_state != IsViewable) continue;
        if (!chosen) chosen = window;
        if (!wanted.empty() && title(d, window) == wanted) {
            chosen = window;
            break;
        }
    }
    if (!chosen) return false;

    if (managed) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = *chosen;
        event.xclient.message_type = XInternAtom(d, "_NET_MOVERESIZE_WINDOW", False);
        event.xclient.format = 32;
        // North-west gravity, x, y, width and height given, from a pager-like tool.
        event.xclient.data.l[0] = 1 | (0xF << 8) | (2 << 12);
        event.xclient.data.l[1] = x;
        event.xclient.data.l[2] = y;
        event.xclient.data.l[3] = w;
        event.xclient.data.l[4] = h;
        XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    } else {
        XMoveResizeWindow(d, *chosen, x, y, unsigned(w > 0 ? w : 1), unsigned(h > 0 ? h : 1));
    }
    XSync(d, False);
    return true;
}

} // namespace vivirov
