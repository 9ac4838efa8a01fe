#pragma once
#include <functional>
#include <memory>
#include <set>

class QSocketNotifier;
typedef struct _XDisplay Display;

namespace vivirov {

// Watches every key press on the X11 desktop without taking it: XInput 2
// raw key events of the root window, read on the GUI thread from a
// connection of its own. The focused application still gets each key.
class X11RawKeyMonitor {
public:
    // `onTrigger` runs on the GUI thread for each Quick Ask key press. None
    // when the app does not run on X11 or the server lacks XInput 2.
    static std::unique_ptr<X11RawKeyMonitor> open(std::function<void()> onTrigger);
    ~X11RawKeyMonitor();

    X11RawKeyMonitor(const X11RawKeyMonitor&) = delete;
    X11RawKeyMonitor& operator=(const X11RawKeyMonitor&) = delete;

private:
    X11RawKeyMonitor(Display* display, int opcode, std::function<void()> onTrigger);
    void drain();
    unsigned int modifierState() const;

    Display* display_;
    int opcode_;
    std::function<void()> onTrigger_;
    std::unique_ptr<QSocketNotifier> notifier_;
    // Raw events carry no modifier state: the held modifier keys are tracked
    // from the same stream, so a late read still sees the state of its time.
    std::multiset<unsigned long> heldModifiers_;
};

} // namespace vivirov
