#pragma once
#include <QFont>

#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeKind.h"
#include "VivirovVizivurad/Appearance/ThemePalette.h"

namespace vivirov {

// The current look, read by view code while it builds or paints. Only
// Appearance writes it; everything here runs on the GUI thread.
class ThemeSnapshot {
public:
    static ThemePalette palette;
    static FontKind family;
    static double scale;

    // The themed font: the system font of size × scale pixels; the family
    // replaces the caller's design except under the system family.
    static QFont ui(double size, QFont::Weight weight, FontDesign design);

    ThemeSnapshot() = delete;
};

} // namespace vivirov
