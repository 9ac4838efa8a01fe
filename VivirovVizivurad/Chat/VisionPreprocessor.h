#pragma once
#include <QImage>

#include <optional>
#include <string>

#include "VivirovVizivurad/Chat/ImageAttachment.h"

namespace vivirov {

// Scales an image for the vision encoder: at most `targetSide` pixels on the
// longer side (never enlarged), drawn over transparent black, as RGB888.
namespace VisionPreprocessor {

inline constexpr int targetSide = 336;

// None for an empty image or one that cannot be drawn. Safe off the GUI thread.
std::optional<ImageAttachment> process(const QImage& image, const std::string& name);

} // namespace VisionPreprocessor

} // namespace vivirov
