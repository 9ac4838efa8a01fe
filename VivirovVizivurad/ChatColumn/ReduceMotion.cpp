// GLib's headers come before anything of Qt's, whose keywords clash with them.
#include <gio/gio.h>

#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"

#include <atomic>

#include "VivirovKit/Support/Env.h"

namespace vivirov {
namespace {

std::atomic<int> forced{-1};

bool fromEnvironmentAndDesktop() {
    if (auto value = env::string("VIVIROV_REDUCE_MOTION")) {
        if (*value == "1") return true;
        if (*value == "0") return false;
    }
    auto animations = ReduceMotion::desktopSetting();
    return animations.value_or(false);
}

} // namespace

std::optional<bool> ReduceMotion::desktopSetting() {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source) return std::nullopt;
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE);
    if (!schema) return std::nullopt;
    std::optional<bool> reduce;
    if (g_settings_schema_has_key(schema, "enable-animations")) {
        GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
        reduce = !g_settings_get_boolean(settings, "enable-animations");
        g_object_unref(settings);
    }
    g_settings_schema_unref(schema);
    return reduce;
}

bool ReduceMotion::enabled() {
    const int value = forced.load();
    if (value >= 0) return value == 1;
    static const bool cached = fromEnvironmentAndDesktop();
    return cached;
}

void ReduceMotion::force(std::optional<bool> value) { forced.store(value ? int(*value) : -1); }

} // namespace vivirov
