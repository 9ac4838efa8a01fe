#include "VivirovKit/Fleet/VivirovModelInfo.h"

#include <cstdio>

namespace vivirov {

std::string VivirovModelInfo::sizeGB() const {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f GB", static_cast<double>(sizeBytes) / 1073741824.0);
    return buffer;
}

} // namespace vivirov
