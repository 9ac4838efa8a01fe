#pragma once
#include "VivirovVizivurad/Accessibility/AccessibilityBackend.h"

namespace vivirov {

// The Accessibility service of the Linux desktop: AT-SPI2 through libatspi.
// The library's connection is dispatched on a private main context (never
// the GUI thread's), so its state changes only inside the calls made here;
// callers make one call at a time. Reads go to the target app every time
// rather than to the library's cache, which nothing here keeps current.
class AtspiBackend : public AccessibilityBackend {
public:
    AtspiBackend();

    bool trusted() override;
    void setMessagingTimeout(double seconds) override;
    std::vector<AXRunningApp> runningApps() override;
    std::optional<AXElement> applicationElement(int pid) override;

    std::optional<std::string> stringAttribute(const AXElement& element, const std::string& name) override;
    AXValueRead value(const AXElement& element) override;
    std::optional<AXPoint> position(const AXElement& element) override;
    std::optional<AXSize> size(const AXElement& element) override;
    std::vector<std::string> actions(const AXElement& element) override;
    std::vector<AXElement> children(const AXElement& element) override;
    std::optional<AXElement> focusedWindow(const AXElement& application) override;

    int performAction(const AXElement& element, const std::string& action) override;
    int setValue(const AXElement& element, const std::string& value) override;
    // Through the element's own extents when the app supports setting them,
    // else through the X server (EWMH with a window manager, a direct move without).
    std::pair<int, int> setFrame(const AXElement& window, int pid, AXPoint position, AXSize size) override;

private:
    bool ready_ = false;
};

} // namespace vivirov
