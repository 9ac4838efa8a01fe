#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace vivirov {

// The kinds of model work a local endpoint may serve; raw values are the
// case names.
enum class ModelRouteKind { general, consensus, fastDraft, vision, audio, document, imageGen };

std::string_view rawValue(ModelRouteKind kind);
// Exact, case-sensitive match of a raw value; none otherwise.
std::optional<ModelRouteKind> modelRouteKindFromRaw(std::string_view raw);

// Which endpoint serves a kind of work, and whether it answered just now.
struct ModelRoute {
    std::string providerID;
    std::string baseURL; // "local" or "none" for the kinds without a server
    std::string model;
    bool available = false;
    std::string note;    // for the agent, chosen by availability
    bool operator==(const ModelRoute&) const = default;
};

} // namespace vivirov
