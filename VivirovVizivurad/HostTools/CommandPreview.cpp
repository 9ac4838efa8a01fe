#include "VivirovVizivurad/HostTools/CommandPreview.h"

#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

// Characters of written content the card shows.
constexpr size_t kContentPreview = 280;

// A number or any other JSON value in its plain text form.
std::string plainText(const json::Value& value) {
    if (value.is_string()) return value.get<std::string>();
    return json::dump(value);
}

} // namespace

std::string commandPreview(const std::string& json) {
    auto call = json::parse(text::trimmed(json));
    if (!call || !call->is_object()) return json;
    const auto* args = json::objectMember(*call, "args");
    if (!args) return json;

    const auto text = [&](const char* key) { return json::stringMember(*args, key); };
    const auto app = text("app");
    const std::string suffix = app ? " in " + *app : "";

    if (auto command = text("command")) return *command;
    if (auto path = text("path")) {
        if (auto content = text("content")) return "write " + *path + "\n" + text::graphemePrefix(*content, kContentPreview);
        return *path;
    }
    if (auto title = text("title")) {
        if (auto value = text("value")) return "type \"" + *value + "\" into '" + *title + "'" + suffix;
        return "click '" + *title + "'" + suffix;
    }
    if (args->contains("x")) {
        const std::string y = args->contains("y") ? plainText(args->at("y")) : "?";
        return "move window" + suffix + " \xE2\x86\x92 " + plainText(args->at("x")) + "," + y;
    }
    return json;
}

} // namespace vivirov
