#include "VivirovVizivurad/Accessibility/AtspiBackend.h"

#include <atspi/atspi.h>
#include <gio/gio.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <climits>
#include <mutex>

#include "VivirovVizivurad/Accessibility/AtspiVocabulary.h"
#include "VivirovVizivurad/Accessibility/X11WindowPlacer.h"

namespace vivirov {

namespace {

// Owns one reference of a GObject.
template <typename T>
struct Ref {
    T* p = nullptr;
    explicit Ref(T* object = nullptr) : p(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (p) g_object_unref(p);
    }
    explicit operator bool() const { return p != nullptr; }
};

// A GError a call may fill; reports whether one was set.
struct Error {
    GError* error = nullptr;
    ~Error() {
        if (error) g_error_free(error);
    }
    GError** out() {
        if (error) g_clear_error(&error);
        return &error;
    }
    bool failed() const { return error != nullptr; }
};

std::optional<std::string> taken(gchar* text) {
    if (!text) return std::nullopt;
    std::string copy(text);
    g_free(text);
    return copy;
}

AXElement wrap(AtspiAccessible* accessible) {
    AtspiObject* object = ATSPI_OBJECT(accessible);
    std::string key = (object->app && object->app->bus_name ? object->app->bus_name : std::string("?"));
    key += object->path ? object->path : "";
    return {std::shared_ptr<void>(accessible, [](void* p) { g_object_unref(p); }), std::move(key)};
}

AtspiAccessible* raw(const AXElement& element) { return static_cast<AtspiAccessible*>(element.handle.get()); }

// The library's connection is set up once per process; false when there is
// no Accessibility bus to reach.
bool ensureConnected() {
    static std::once_flag once;
    static bool connected = false;
    std::call_once(once, [] {
        const int status = atspi_init();
        connected = status == 0 || status == 1;
        // Its messages are dispatched only inside the blocking calls made
        // here, never by the GUI thread's main loop.
        if (connected) atspi_set_main_context(g_main_context_new());
    });
    return connected;
}

bool hasActiveWindow(AtspiAccessible* app) {
    Error error;
    const int count = atspi_accessible_get_child_count(app, error.out());
    for (int i = 0; !error.failed() && i < count; ++i) {
        Ref<AtspiAccessible> child(atspi_accessible_get_child_at_index(app, i, error.out()));
        if (!child) continue;
        Ref<AtspiStateSet> states(atspi_accessible_get_state_set(child.p));
        if (states && atspi_state_set_contains(states.p, ATSPI_STATE_ACTIVE)) return true;
    }
    return false;
}

std::optional<std::string> executableName(int pid) {
    char path[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
    if (length <= 0) return std::nullopt;
    std::string target(path, size_t(length));
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

std::optional<AtspiRect> readExtents(const AXElement& element) {
    Ref<AtspiComponent> component(atspi_accessible_get_component_iface(raw(element)));
    if (!component) return std::nullopt;
    Error error;
    AtspiRect* rect = atspi_component_get_extents(component.p, ATSPI_COORD_TYPE_SCREEN, error.out());
    if (!rect) return std::nullopt;
    AtspiRect copy = *rect;
    g_free(rect);
    if (error.failed()) return std::nullopt;
    return copy;
}

std::optional<std::string> readRoleName(const AXElement& element) {
    Error error;
    const AtspiRole role = atspi_accessible_get_role(raw(element), error.out());
    if (error.failed() || role == ATSPI_ROLE_INVALID) return std::nullopt;
    return taken(atspi_role_get_name(role));
}

// Callers read an element's role and subrole, or its position and size,
// one right after the other; each pair is one request to the app. The
// first read of a pair keeps its answer for the same thread, and the next
// read of the same element on that thread, soon after, takes it instead of
// asking again. Any later read asks the app afresh.
template <class T>
class PairedRead {
public:
    template <class Read>
    T get(const AXElement& element, Read read) {
        const auto now = std::chrono::steady_clock::now();
        if (kept_ && kept_->key == element.key && now - kept_->at < kFresh) {
            T value = std::move(kept_->value);
            kept_.reset();
            return value;
        }
        T value = read(element);
        kept_ = Kept{element.key, value, now};
        return value;
    }

private:
    static constexpr std::chrono::milliseconds kFresh{100};
    struct Kept {
        std::string key;
        T value;
        std::chrono::steady_clock::time_point at;
    };
    std::optional<Kept> kept_;

public:
    void forget() { kept_.reset(); }
};

thread_local PairedRead<std::optional<AtspiRect>> pairedExtents;
thread_local PairedRead<std::optional<std::string>> pairedRole;

std::optional<AtspiRect> extents(const AXElement& element) { return pairedExtents.get(element, readExtents); }
std::optional<std::string> roleName(const AXElement& element) { return pairedRole.get(element, readRoleName); }

// A change made by this thread is seen by its next read.
void forgetPairedReads() {
    pairedExtents.forget();
    pairedRole.forget();
}

} // namespace

AtspiBackend::AtspiBackend() = default;

bool AtspiBackend::trusted() {
    if (!ensureConnected()) return false;
    // The session's switch for assistive technologies must be on...
    Error error;
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out());
    if (!session) return false;
    GVariant* reply = g_dbus_connection_call_sync(
        session, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
        int(2000), nullptr, error.out());
    g_object_unref(session);
    if (!reply) return false;
    GVariant* boxed = nullptr;
    g_variant_get(reply, "(v)", &boxed);
    const bool enabled = boxed && g_variant_is_of_type(boxed, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(boxed);
    if (boxed) g_variant_unref(boxed);
    g_variant_unref(reply);
    if (!enabled) return false;
    // ...and the registry must answer on the Accessibility bus.
    Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return false;
    atspi_accessible_clear_cache(desktop.p);
    atspi_accessible_get_child_count(desktop.p, error.out());
    return !error.failed();
}

void AtspiBackend::setMessagingTimeout(double seconds) {
    if (!ensureConnected()) return;
    const int ms = int(seconds * 1000);
    atspi_set_timeout(ms, ms);
}

std::vector<AXRunningApp> AtspiBackend::runningApps() {
    std::vector<AXRunningApp> apps;
    if (!ensureConnected()) return apps;
    Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return apps;
    // The registry's list changes as apps come and go; read it afresh.
    atspi_accessible_clear_cache(desktop.p);
    Error error;
    const int count = atspi_accessible_get_child_count(desktop.p, error.out());
    for (int i = 0; !error.failed() && i < count; ++i) {
        Error childError;
        Ref<AtspiAccessible> app(atspi_accessible_get_child_at_index(desktop.p, i, childError.out()));
        if (!app) continue;
        atspi_accessible_set_cache_mask(app.p, ATSPI_CACHE_NONE);
        atspi_accessible_clear_cache(app.p);
        AXRunningApp record;
        Error readError;
        record.name = taken(atspi_accessible_get_name(app.p, readError.out()));
        if (record.name && record.name->empty()) record.name.reset();
        record.pid = int(atspi_accessible_get_process_id(app.p, readError.out()));
        record.bundleId = executableName(record.pid);
        const int windows = atspi_accessible_get_child_count(app.p, readError.out());
        record.regular = windows > 0;
        record.active = record.regular && hasActiveWindow(app.p);
        apps.push_back(std::move(record));
    }
    return apps;
}

std::optional<AXElement> AtspiBackend::applicationElement(int pid) {
    if (!ensureConnected()) return std::nullopt;
    Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return std::nullopt;
    Error error;
    const int count = atspi_accessible_get_child_count(desktop.p, error.out());
    for (int i = 0; !error.failed() && i < count; ++i) {
        Error childError;
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop.p, i, childError.out());
        if (!app) continue;
        if (int(atspi_accessible_get_process_id(app, childError.out())) == pid && !childError.failed()) {
            atspi_accessible_set_cache_mask(app, ATSPI_CACHE_NONE);
            atspi_accessible_clear_cache(app);
            return wrap(app);
        }
        g_object_unref(app);
    }
    return std::nullopt;
}

std::optional<std::string> AtspiBackend::stringAttribute(const AXElement& element, const std::string& name) {
    Error error;
    std::optional<std::string> result;
    if (name == "AXRole") {
        auto role = roleName(element);
        return role ? std::optional(atspi_vocabulary::role(*role)) : std::nullopt;
    }
    if (name == "AXSubrole") {
        auto role = roleName(element);
        return role ? atspi_vocabulary::subrole(*role) : std::nullopt;
    }
    if (name == "AXTitle") result = taken(atspi_accessible_get_name(raw(element), error.out()));
    else if (name == "AXDescription") result = taken(atspi_accessible_get_description(raw(element), error.out()));
    if (error.failed()) return std::nullopt;
    return result;
}

AXValueRead AtspiBackend::value(const AXElement& element) {
    Error error;
    if (Ref<AtspiText> text(atspi_accessible_get_text_iface(raw(element))); text) {
        const int count = atspi_text_get_character_count(text.p, error.out());
        if (error.failed()) return {};
        auto contents = taken(atspi_text_get_text(text.p, 0, count, error.out()));
        if (error.failed() || !contents) return {};
        return *contents;
    }
    if (Ref<AtspiValue> value(atspi_accessible_get_value_iface(raw(element))); value) {
        const double number = atspi_value_get_current_value(value.p, error.out());
        if (error.failed()) return {};
        char buffer[64];
        auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, number);
        if (status != std::errc()) return {};
        return AXNumber{std::string(buffer, end)};
    }
    return {};
}

std::optional<AXPoint> AtspiBackend::position(const AXElement& element) {
    auto rect = extents(element);
    if (!rect) return std::nullopt;
    return AXPoint{double(rect->x), double(rect->y)};
}

std::optional<AXSize> AtspiBackend::size(const AXElement& element) {
    auto rect = extents(element);
    if (!rect) return std::nullopt;
    return AXSize{double(rect->width), double(rect->height)};
}

std::vector<std::string> AtspiBackend::actions(const AXElement& element) {
    std::vector<std::string> names;
    Ref<AtspiAction> action(atspi_accessible_get_action_iface(raw(element)));
    if (!action) return names;
    Error error;
    const int count = atspi_action_get_n_actions(action.p, error.out());
    for (int i = 0; !error.failed() && i < count; ++i) {
        auto name = taken(atspi_action_get_action_name(action.p, i, error.out()));
        if (!error.failed() && name && !name->empty()) names.push_back(atspi_vocabulary::action(*name));
    }
    if (error.failed()) names.clear();
    return names;
}

std::vector<AXElement> AtspiBackend::children(const AXElement& element) {
    std::vector<AXElement> list;
    Error error;
    const int count = atspi_accessible_get_child_count(raw(element), error.out());
    for (int i = 0; !error.failed() && i < count; ++i) {
        Error childError;
        if (AtspiAccessible* child = atspi_accessible_get_child_at_index(raw(element), i, childError.out()))
            list.push_back(wrap(child));
    }
    return list;
}

std::optional<AXElement> AtspiBackend::focusedWindow(const AXElement& application) {
    for (auto& child : children(application)) {
        Ref<AtspiStateSet> states(atspi_accessible_get_state_set(raw(child)));
        if (states && atspi_state_set_contains(states.p, ATSPI_STATE_ACTIVE) &&
            stringAttribute(child, "AXRole") == "AXWindow")
            return std::move(child);
    }
    return std::nullopt;
}

int AtspiBackend::performAction(const AXElement& element, const std::string& wanted) {
    forgetPairedReads();
    Ref<AtspiAction> action(atspi_accessible_get_action_iface(raw(element)));
    if (!action) return axerror::actionUnsupported;
    Error error;
    const int count = atspi_action_get_n_actions(action.p, error.out());
    for (int i = 0; !error.failed() && i < count; ++i) {
        auto name = taken(atspi_action_get_action_name(action.p, i, error.out()));
        if (error.failed() || !name || atspi_vocabulary::action(*name) != wanted) continue;
        const bool done = atspi_action_do_action(action.p, i, error.out());
        if (error.failed()) return axerror::cannotComplete;
        return done ? axerror::success : axerror::failure;
    }
    return error.failed() ? axerror::cannotComplete : axerror::actionUnsupported;
}

int AtspiBackend::setValue(const AXElement& element, const std::string& value) {
    forgetPairedReads();
    Ref<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(raw(element)));
    if (!editable) return axerror::attributeUnsupported;
    Error error;
    const bool done = atspi_editable_text_set_text_contents(editable.p, value.c_str(), error.out());
    if (error.failed()) return axerror::cannotComplete;
    return done ? axerror::success : axerror::failure;
}

std::pair<int, int> AtspiBackend::setFrame(const AXElement& window, int pid, AXPoint position, AXSize size) {
    forgetPairedReads();
    const int x = int(position.x), y = int(position.y), w = int(size.w), h = int(size.h);
    if (Ref<AtspiComponent> component(atspi_accessible_get_component_iface(raw(window))); component) {
        Error error;
        if (atspi_component_set_extents(component.p, x, y, w, h, ATSPI_COORD_TYPE_SCREEN, error.out()) &&
            !error.failed())
            return {axerror::success, axerror::success};
    }
    // Toolkits commonly refuse to move their windows for the Accessibility
    // service; the X server moves them instead.
    const std::string title = stringAttribute(window, "AXTitle").value_or("");
    if (X11WindowPlacer::place(pid, title, x, y, w, h)) return {axerror::success, axerror::success};
    return {axerror::cannotComplete, axerror::cannotComplete};
}

} // namespace vivirov
