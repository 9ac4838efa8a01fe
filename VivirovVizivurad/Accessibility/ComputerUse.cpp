#include "VivirovVizivurad/Accessibility/ComputerUse.h"

#include <cmath>
#include <limits>
#include <set>
#include <utility>

#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/Accessibility/SortedJSONWriter.h"

namespace vivirov {

namespace {

constexpr size_t valueSummaryLimit = 200;
constexpr int searchBudget = 1500;
constexpr int searchDepth = 18;
constexpr size_t searchCap = 12;

struct DumpCounter {
    int count = 0;
    bool truncated = false;
};

struct Match {
    AXElement element;
    std::string title;
    std::string role;
    bool exact = false;
};

std::string nameOr(const std::optional<std::string>& name, const char* fallback) {
    return name ? *name : fallback;
}

// A coordinate as the integer it is reported as, truncated toward zero; none
// for a value no integer holds (an app may report anything).
std::optional<int> integral(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    const double t = std::trunc(value);
    if (t < double(std::numeric_limits<int>::min()) || t > double(std::numeric_limits<int>::max())) return std::nullopt;
    return int(t);
}

std::optional<std::string> valueSummary(AccessibilityBackend& ax, const AXElement& element) {
    const AXValueRead read = ax.value(element);
    if (auto* text = std::get_if<std::string>(&read)) {
        if (text::graphemeCount(*text) <= valueSummaryLimit) return *text;
        return text::graphemePrefix(*text, valueSummaryLimit) + "…";
    }
    if (auto* number = std::get_if<AXNumber>(&read)) return number->decimal;
    return std::nullopt;
}

json::Value serialize(AccessibilityBackend& ax, const AXElement& element, int depth, int maxDepth, int maxNodes,
                      DumpCounter& counter, std::set<std::string>& visited) {
    counter.count += 1;
    visited.insert(element.key);
    json::Value record = json::Value::object();

    record["role"] = ax.stringAttribute(element, "AXRole").value_or("AXUnknown");
    if (auto subrole = ax.stringAttribute(element, "AXSubrole")) record["subrole"] = *subrole;
    if (auto title = ax.stringAttribute(element, "AXTitle"); title && !title->empty()) record["title"] = *title;
    if (auto description = ax.stringAttribute(element, "AXDescription"); description && !description->empty())
        record["description"] = *description;
    if (auto value = valueSummary(ax, element)) record["value"] = *value;
    if (auto position = ax.position(element)) {
        if (auto size = ax.size(element)) {
            auto x = integral(position->x), y = integral(position->y);
            auto w = integral(size->w), h = integral(size->h);
            if (x && y && w && h) record["frame"] = {{"x", *x}, {"y", *y}, {"w", *w}, {"h", *h}};
        }
    }

    json::Value actions = json::Value::array();
    for (const auto& action : ax.actions(element))
        if (!(action == "AXShowMenu" && depth >= 3)) actions.push_back(action);
    if (!actions.empty()) record["actions"] = std::move(actions);

    const std::vector<AXElement> children = ax.children(element);
    if (depth < maxDepth && !children.empty()) {
        json::Value records = json::Value::array();
        for (const auto& child : children) {
            if (counter.count >= maxNodes) {
                counter.truncated = true;
                break;
            }
            if (visited.count(child.key)) continue;
            records.push_back(serialize(ax, child, depth + 1, maxDepth, maxNodes, counter, visited));
        }
        const size_t appended = records.size();
        if (appended > 0) record["children"] = std::move(records);
        if (appended < children.size()) record["childrenTruncated"] = children.size() - appended;
    } else if (!children.empty()) {
        record["childCount"] = children.size();
    }
    return record;
}

void collect(AccessibilityBackend& ax, const AXElement& element, const std::optional<std::string>& role,
             const std::string& query, int depth, int& budget, std::set<std::string>& visited,
             std::vector<Match>& matches) {
    if (budget < 1 || depth > searchDepth || matches.size() >= searchCap) return;
    budget -= 1;
    if (!visited.insert(element.key).second) return;

    const std::string elementRole = ax.stringAttribute(element, "AXRole").value_or("");
    const std::string title = ax.stringAttribute(element, "AXTitle").value_or("");
    const std::string description = ax.stringAttribute(element, "AXDescription").value_or("");
    if (!role || elementRole == *role) {
        const std::string q = text::lowercased(query);
        const std::string t = text::lowercased(title), d = text::lowercased(description);
        // An empty query is contained in no text.
        if (!q.empty() && (t.find(q) != std::string::npos || d.find(q) != std::string::npos))
            matches.push_back({element, title.empty() ? description : title, elementRole, t == q || d == q});
    }
    for (const auto& child : ax.children(element)) {
        if (budget < 1 || matches.size() >= searchCap) return;
        collect(ax, child, role, query, depth + 1, budget, visited, matches);
    }
}

} // namespace

struct ComputerUse::Located {
    std::optional<AXRunningApp> app;
    std::optional<AXElement> element;
    std::string failure;
};

ComputerUse::ComputerUse(std::shared_ptr<AccessibilityBackend> backend, VisibleFrame visibleFrame)
    : backend_(std::move(backend)), visibleFrame_(std::move(visibleFrame)) {}

bool ComputerUse::trusted() {
    std::lock_guard lock(mutex_);
    return backend_->trusted();
}

std::vector<AXRunningApp> ComputerUse::runningAppsLocked() {
    std::vector<AXRunningApp> regular;
    for (auto& app : backend_->runningApps())
        if (app.regular) regular.push_back(std::move(app));
    return regular;
}

std::vector<AXRunningApp> ComputerUse::runningApps() {
    std::lock_guard lock(mutex_);
    return runningAppsLocked();
}

std::optional<AXRunningApp> ComputerUse::appLocked(const std::string& named) {
    const std::string wanted = text::lowercased(named);
    for (auto& app : backend_->runningApps())
        if (text::lowercased(app.name.value_or("")) == wanted || text::lowercased(app.bundleId.value_or("")) == wanted)
            return std::move(app);
    return std::nullopt;
}

std::optional<AXRunningApp> ComputerUse::app(const std::string& named) {
    std::lock_guard lock(mutex_);
    return appLocked(named);
}

std::optional<AXRunningApp> ComputerUse::frontmost() {
    for (auto& app : backend_->runningApps())
        if (app.active) return std::move(app);
    return std::nullopt;
}

std::string ComputerUse::runningAppsSummary() {
    const auto apps = runningApps();
    if (apps.empty()) return "error: no regular running apps found.";
    std::string summary = "running apps:";
    for (const auto& app : apps) {
        summary += "\n• " + nameOr(app.name, "?") + "  [pid " + std::to_string(app.pid) + "]";
        if (app.active) summary += " (frontmost)";
    }
    return summary;
}

std::string ComputerUse::dumpUIMap(const std::optional<std::string>& appName, int maxDepth, int maxNodes, bool pretty,
                                   int maxChars) {
    std::lock_guard lock(mutex_);
    backend_->setMessagingTimeout(messagingTimeout);
    const bool named = appName && !appName->empty();
    const auto target = named ? appLocked(*appName) : frontmost();
    if (!target)
        return "error: no running app named '" + (named ? *appName : std::string("frontmost")) +
               "' — call ui_apps to list.";
    if (!backend_->trusted())
        return "error: Accessibility permission not granted. The desktop gates reading another app's UI tree behind "
               "its accessibility bus (AT-SPI) → Settings → Accessibility. Enable assistive technologies there "
               "(one-time), then retry. (target: " +
               nameOr(target->name, "?") + " pid " + std::to_string(target->pid) + ")";
    const auto root = backend_->applicationElement(target->pid);
    if (!root)
        return "error: no running app named '" + nameOr(target->name, "?") + "' — call ui_apps to list.";

    DumpCounter counter;
    std::set<std::string> visited;
    json::Value document = json::Value::object();
    document["ui"] = serialize(*backend_, *root, 0, maxDepth, maxNodes, counter, visited);
    document["application"] = target->name.value_or("");
    document["pid"] = target->pid;
    document["nodesSerialized"] = counter.count;
    if (counter.truncated) document["truncatedAtNodeCap"] = maxNodes;

    const std::string text = writeSortedJSON(document, pretty);
    if (maxChars >= 1 && text::graphemeCount(text) > size_t(maxChars))
        return text::graphemePrefix(text, size_t(maxChars)) + "\n…[UI map truncated at " + std::to_string(maxChars) +
               " chars — narrow with a specific app or re-dump]";
    return text;
}

ComputerUse::Located ComputerUse::locate(const std::optional<std::string>& appName,
                                         const std::optional<std::string>& role, const std::string& title) {
    backend_->setMessagingTimeout(messagingTimeout);
    // Only an absent name means the frontmost app: a misspelt one must not
    // press or type into whatever happens to be in front.
    const bool named = appName && !appName->empty();
    const auto target = named ? appLocked(*appName) : frontmost();
    if (!target)
        return {std::nullopt, std::nullopt,
                "error: no running app named '" + (named ? *appName : std::string("frontmost")) + "'."};
    if (!backend_->trusted())
        return {std::nullopt, std::nullopt,
                "error: Accessibility permission not granted (Settings → Accessibility → enable assistive "
                "technologies)."};
    const std::string appLabel = nameOr(target->name, "?");
    const auto root = backend_->applicationElement(target->pid);
    std::vector<Match> matches;
    if (root) {
        int budget = searchBudget;
        std::set<std::string> visited;
        collect(*backend_, *root, role, title, 0, budget, visited, matches);
    }
    std::vector<Match> candidates;
    for (const auto& match : matches)
        if (match.exact) candidates.push_back(match);
    if (candidates.empty()) candidates = std::move(matches);

    if (candidates.empty())
        return {std::nullopt, std::nullopt,
                "error: no " + role.value_or("element") + " matching '" + title + "' in " + appLabel +
                    ". Call ui_dump to see what's there."};
    if (candidates.size() > 1) {
        std::string listed;
        for (size_t i = 0; i < candidates.size() && i < 8; ++i) {
            if (i) listed += "; ";
            listed += candidates[i].role + " '" + candidates[i].title + "'";
        }
        return {std::nullopt, std::nullopt,
                "error: '" + title + "' is ambiguous in " + appLabel + " — " + std::to_string(candidates.size()) +
                    " matches: " + listed + ". Re-issue with an exact title."};
    }
    return {target, candidates.front().element, {}};
}

std::string ComputerUse::click(const std::optional<std::string>& appName, const std::optional<std::string>& role,
                               const std::string& title) {
    std::lock_guard lock(mutex_);
    auto found = locate(appName, role ? role : std::optional<std::string>("AXButton"), title);
    if (!found.element) return found.failure;
    const auto actions = backend_->actions(*found.element);
    bool pressable = false;
    for (const auto& action : actions) pressable = pressable || action == "AXPress";
    if (!pressable) {
        std::string available;
        for (const auto& action : actions) available += (available.empty() ? "" : ", ") + action;
        return "error: '" + title + "' has no press action (available: " +
               (available.empty() ? std::string("none/unreadable") : available) + "). Not firing a different action.";
    }
    const int code = backend_->performAction(*found.element, "AXPress");
    if (code != axerror::success)
        return "error: press failed (AXError " + std::to_string(code) + ") on '" + title + "'.";
    return "ok: pressed '" + title + "' in " + nameOr(found.app->name, "?");
}

std::string ComputerUse::setValue(const std::optional<std::string>& appName, const std::optional<std::string>& role,
                                  const std::string& title, const std::string& value) {
    std::lock_guard lock(mutex_);
    auto found = locate(appName, role ? role : std::optional<std::string>("AXTextField"), title);
    if (!found.element) return found.failure;
    const int code = backend_->setValue(*found.element, value);
    if (code != axerror::success)
        return "error: set value failed (AXError " + std::to_string(code) + ") on '" + title +
               "' — field may be read-only.";
    return "ok: set value of '" + title + "' in " + nameOr(found.app->name, "?");
}

std::string ComputerUse::placeWindow(const std::string& appName, double x, double y, double w, double h) {
    std::lock_guard lock(mutex_);
    backend_->setMessagingTimeout(messagingTimeout);
    const auto target = appLocked(appName);
    if (!target) return "error: no running app named '" + appName + "'.";
    if (!backend_->trusted())
        return "error: Accessibility permission not granted (enable assistive technologies in Settings).";
    const auto root = backend_->applicationElement(target->pid);
    std::optional<AXElement> window = root ? backend_->focusedWindow(*root) : std::nullopt;
    if (!window && root)
        for (const auto& child : backend_->children(*root))
            if (backend_->stringAttribute(child, "AXRole") == "AXWindow") {
                window = child;
                break;
            }
    if (!window) return "error: " + appName + " has no accessible window.";

    const auto frame = visibleFrame_ ? visibleFrame_() : std::nullopt;
    if (!frame) return "error: no main screen.";
    // The screen's frame is already measured from the top left, like window
    // positions, so the fraction y counts down from the visible area's top.
    const AXPoint position{frame->x + x * frame->w, frame->y + y * frame->h};
    const AXSize size{w * frame->w, h * frame->h};
    const auto px = integral(position.x), py = integral(position.y);
    const auto pw = integral(size.w), ph = integral(size.h);
    if (!px || !py || !pw || !ph) return "error: could not build AXValue geometry.";

    const auto [positionCode, sizeCode] =
        backend_->setFrame(*window, target->pid, AXPoint{double(*px), double(*py)}, AXSize{double(*pw), double(*ph)});
    if (positionCode == axerror::success && sizeCode == axerror::success)
        return "ok: placed " + appName + " window at " + std::to_string(*px) + "," + std::to_string(*py) + " size " +
               std::to_string(*pw) + "×" + std::to_string(*ph);
    return "error: window placement failed (pos AXError " + std::to_string(positionCode) + ", size AXError " +
           std::to_string(sizeCode) + ").";
}

} // namespace vivirov
