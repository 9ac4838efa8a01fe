#pragma once
#include <QImage>

#include <cstdint>
#include <string>
#include <vector>

#include "VivirovKit/Support/UUID.h"

namespace vivirov {

// An image waiting in the composer: the file as loaded, and its pixels
// scaled for the vision encoder as RGB888, row by row from the top-left
// (exactly 3 × width × height bytes).
struct ImageAttachment {
    UUID id;
    std::string name; // the file's last path component
    QImage image;
    std::vector<uint8_t> rgb;
    int width = 0;
    int height = 0;
};

} // namespace vivirov
