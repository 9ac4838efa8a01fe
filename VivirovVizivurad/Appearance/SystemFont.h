#pragma once
#include <QFont>

namespace vivirov {

// The system font's four designs.
enum class FontDesign { standard, rounded, serif, monospaced };

// The system font in a design, sized in logical pixels (the design sizes are
// pixels, not typographic points: a Qt point is 4/3 of a pixel at 96 dpi).
// Sizes round to whole pixels.
QFont systemFont(double pixels, QFont::Weight weight = QFont::Normal,
                 FontDesign design = FontDesign::standard);

} // namespace vivirov
