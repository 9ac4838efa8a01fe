#include "VivirovVizivurad/Models/ModelFit.h"

namespace vivirov {

const char* rawValue(ModelFit fit) {
    switch (fit) {
    case ModelFit::fast: return "fits 24 GB \xC2\xB7 fast";
    case ModelFit::fits: return "fits 24 GB";
    case ModelFit::experimental: return "experimental \xC2\xB7 slow";
    }
    return "";
}

std::optional<ModelFit> modelFitFromRaw(std::string_view raw) {
    for (ModelFit fit : {ModelFit::fast, ModelFit::fits, ModelFit::experimental})
        if (raw == rawValue(fit)) return fit;
    return std::nullopt;
}

} // namespace vivirov
