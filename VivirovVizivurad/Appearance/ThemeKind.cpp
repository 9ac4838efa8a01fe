#include "VivirovVizivurad/Appearance/ThemeKind.h"

namespace vivirov {

namespace {
struct ThemeRow {
    const char* raw;
    const char* label;
    ThemeGroup group;
};
constexpr ThemeRow themeRows[] = {
    {"claude", "Claude", ThemeGroup::studio},     {"cursor", "Cursor", ThemeGroup::studio},
    {"kimi", "Kimi", ThemeGroup::studio},         {"gemini", "Gemini", ThemeGroup::studio},
    {"midnight", "Midnight", ThemeGroup::classic}, {"aurora", "Aurora", ThemeGroup::classic},
    {"solar", "Solar", ThemeGroup::classic},       {"mono", "Mono", ThemeGroup::classic},
    {"daylight", "Daylight", ThemeGroup::classic},
};
constexpr const char* fontRaw[] = {"sf", "rounded", "serif", "mono"};
constexpr const char* fontLabel[] = {"System", "Rounded", "Serif", "Mono"};
} // namespace

QString rawValue(ThemeKind kind) { return QString::fromLatin1(themeRows[int(kind)].raw); }
QString label(ThemeKind kind) { return QString::fromLatin1(themeRows[int(kind)].label); }
ThemeGroup group(ThemeKind kind) { return themeRows[int(kind)].group; }

std::optional<ThemeKind> themeKindFromRaw(const QString& raw) {
    for (ThemeKind kind : allThemeKinds)
        if (raw == QLatin1String(themeRows[int(kind)].raw)) return kind;
    return std::nullopt;
}

QString rawValue(ThemeGroup group) {
    return group == ThemeGroup::studio ? QStringLiteral("Studio") : QStringLiteral("Classic");
}

QString rawValue(FontKind kind) { return QString::fromLatin1(fontRaw[int(kind)]); }
QString label(FontKind kind) { return QString::fromLatin1(fontLabel[int(kind)]); }

std::optional<FontKind> fontKindFromRaw(const QString& raw) {
    for (FontKind kind : allFontKinds)
        if (raw == QLatin1String(fontRaw[int(kind)])) return kind;
    return std::nullopt;
}

} // namespace vivirov
