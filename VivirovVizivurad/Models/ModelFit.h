#pragma once
#include <optional>
#include <string_view>

namespace vivirov {

// How a catalogue model fits the machine, best first. The raw value is the
// badge the model library shows.
enum class ModelFit { fast, fits, experimental };

const char* rawValue(ModelFit fit);
std::optional<ModelFit> modelFitFromRaw(std::string_view raw);

} // namespace vivirov
