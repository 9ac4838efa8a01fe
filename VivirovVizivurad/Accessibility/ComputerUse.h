#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VivirovVizivurad/Accessibility/AccessibilityBackend.h"
#include "VivirovVizivurad/HostTools/HostToolBackends.h"

namespace vivirov {

// An area of the screen, origin at the top left, y growing downward.
struct ScreenRect {
    double x = 0, y = 0, w = 0, h = 0;
};

// Reads and operates other apps' interfaces through the Accessibility
// service: lists the running apps, dumps an app's element tree as JSON,
// presses a button or sets a text field found by its title, and places an
// app's window. Answers plain text ("ok: …" / "error: …"); never throws.
//
// Every operation blocks for as long as the target app takes to answer (up
// to 2 s per request): call them from workers, never from the GUI thread.
// They run one at a time, since the service's client library is not made
// for concurrent use.
class ComputerUse : public AccessibilityOperations {
public:
    // The visible area of the main screen (without panels), or none.
    using VisibleFrame = std::function<std::optional<ScreenRect>()>;

    ComputerUse(std::shared_ptr<AccessibilityBackend> backend, VisibleFrame visibleFrame);
    // Over AT-SPI2, with the main screen of the running Qt application.
    static std::shared_ptr<ComputerUse> live();

    bool trusted();
    // The apps that show windows, in the service's order.
    std::vector<AXRunningApp> runningApps();
    // The first app whose lower-cased name or executable equals the lower-cased text.
    std::optional<AXRunningApp> app(const std::string& named);

    std::string runningAppsSummary() override;
    std::string dumpUIMap(const std::optional<std::string>& appName, int maxDepth, int maxNodes, bool pretty,
                          int maxChars) override;
    std::string click(const std::optional<std::string>& appName, const std::optional<std::string>& role,
                      const std::string& title) override;
    std::string setValue(const std::optional<std::string>& appName, const std::optional<std::string>& role,
                         const std::string& title, const std::string& value) override;
    std::string placeWindow(const std::string& appName, double x, double y, double w, double h) override;

    static constexpr double messagingTimeout = 2.0; // seconds per request

private:
    struct Located;
    Located locate(const std::optional<std::string>& appName, const std::optional<std::string>& role,
                   const std::string& title);
    std::optional<AXRunningApp> frontmost();
    std::optional<AXRunningApp> appLocked(const std::string& named);
    std::vector<AXRunningApp> runningAppsLocked();

    std::shared_ptr<AccessibilityBackend> backend_;
    VisibleFrame visibleFrame_;
    std::recursive_mutex mutex_;
};

} // namespace vivirov
