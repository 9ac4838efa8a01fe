#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"

namespace vivirov {

ThemePalette ThemeSnapshot::palette = ThemePalette::of(ThemeKind::midnight);
FontKind ThemeSnapshot::family = FontKind::sf;
double ThemeSnapshot::scale = 1.0;

QFont ThemeSnapshot::ui(double size, QFont::Weight weight, FontDesign design) {
    switch (family) {
    case FontKind::sf: break;
    case FontKind::rounded: design = FontDesign::rounded; break;
    case FontKind::serif: design = FontDesign::serif; break;
    case FontKind::mono: design = FontDesign::monospaced; break;
    }
    return systemFont(size * scale, weight, design);
}

} // namespace vivirov
