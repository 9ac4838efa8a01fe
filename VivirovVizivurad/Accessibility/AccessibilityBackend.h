#pragma once
// What the Accessibility operations need of the desktop's Accessibility
// service, in its own vocabulary ("AXButton", "AXPress", "AXTitle"): the live
// implementation speaks AT-SPI2, tests put a scripted tree in its place.
// Every read is one request to the target app; a failed read is none.
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vivirov {

// One element of some app's tree. Two handles of the same element have the
// same key, so the key serves for visited sets.
struct AXElement {
    std::shared_ptr<void> handle;
    std::string key;
};

struct AXRunningApp {
    std::optional<std::string> name;
    int pid = 0;
    std::optional<std::string> bundleId; // the executable's name on this platform
    bool active = false;                 // holds the active window
    bool regular = true;                 // shows windows of its own
};

struct AXPoint {
    double x = 0, y = 0;
};
struct AXSize {
    double w = 0, h = 0;
};

// An "AXValue" as read: a text, a number (kept in its decimal text), or none.
struct AXNumber {
    std::string decimal;
};
using AXValueRead = std::variant<std::monostate, std::string, AXNumber>;

// Error codes of the operations that change something; 0 is success.
namespace axerror {
constexpr int success = 0;
constexpr int failure = -25200;
constexpr int illegalArgument = -25201;
constexpr int cannotComplete = -25204;
constexpr int attributeUnsupported = -25205;
constexpr int actionUnsupported = -25206;
} // namespace axerror

class AccessibilityBackend {
public:
    virtual ~AccessibilityBackend() = default;

    // The Accessibility service answers and is enabled for this session.
    virtual bool trusted() = 0;
    // Bounds every later request; a silent app costs at most this per request.
    virtual void setMessagingTimeout(double seconds) = 0;
    // Every app known to the service, in its order.
    virtual std::vector<AXRunningApp> runningApps() = 0;
    virtual std::optional<AXElement> applicationElement(int pid) = 0;

    // "AXRole", "AXSubrole", "AXTitle", "AXDescription".
    virtual std::optional<std::string> stringAttribute(const AXElement& element, const std::string& name) = 0;
    virtual AXValueRead value(const AXElement& element) = 0;
    virtual std::optional<AXPoint> position(const AXElement& element) = 0;
    virtual std::optional<AXSize> size(const AXElement& element) = 0;
    virtual std::vector<std::string> actions(const AXElement& element) = 0;
    virtual std::vector<AXElement> children(const AXElement& element) = 0;
    virtual std::optional<AXElement> focusedWindow(const AXElement& application) = 0;

    virtual int performAction(const AXElement& element, const std::string& action) = 0;
    virtual int setValue(const AXElement& element, const std::string& value) = 0;
    // Moves and resizes a window; the two codes are the position's and the size's.
    virtual std::pair<int, int> setFrame(const AXElement& window, int pid, AXPoint position, AXSize size) = 0;
};

} // namespace vivirov
