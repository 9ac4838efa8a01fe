#pragma once
#include <QColor>

#include "VivirovVizivurad/Appearance/ThemeKind.h"

namespace vivirov {

// The seven colour roles of a theme. The names are roles, not hues: the
// "solar" theme's cyan is yellow.
struct ThemePalette {
    QColor cyan, orange, ink, gold, violet, crimson, crimsonDeep;

    static ThemePalette of(ThemeKind kind);
    bool operator==(const ThemePalette&) const = default;
};

} // namespace vivirov
