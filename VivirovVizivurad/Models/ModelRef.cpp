#include "VivirovVizivurad/Models/ModelRef.h"

namespace vivirov {

std::string ModelRef::id() const { return org + "/" + repo + "/" + file; }

std::string ModelRef::hfURL(const std::string& hubBase) const {
    return hubBase + org + "/" + repo + "/resolve/main/" + file + "?download=true";
}

} // namespace vivirov

size_t std::hash<vivirov::ModelRef>::operator()(const vivirov::ModelRef& ref) const noexcept {
    size_t h = 0;
    auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    std::hash<std::string> text;
    mix(text(ref.displayName));
    mix(text(ref.org));
    mix(text(ref.repo));
    mix(text(ref.file));
    mix(std::hash<int64_t>{}(ref.approxBytes));
    mix(size_t(ref.fit));
    return h;
}
