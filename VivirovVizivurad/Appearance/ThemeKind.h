#pragma once
#include <QString>
#include <array>
#include <optional>

namespace vivirov {

// The nine colour themes; the raw value is the stored form.
enum class ThemeKind { claude, cursor, kimi, gemini, midnight, aurora, solar, mono, daylight };
// The headings the appearance sheet lists themes under.
enum class ThemeGroup { studio, classic };
// The four font families of themed text.
enum class FontKind { sf, rounded, serif, mono };

inline constexpr std::array<ThemeKind, 9> allThemeKinds{
    ThemeKind::claude, ThemeKind::cursor, ThemeKind::kimi,  ThemeKind::gemini,  ThemeKind::midnight,
    ThemeKind::aurora, ThemeKind::solar,  ThemeKind::mono, ThemeKind::daylight};
inline constexpr std::array<ThemeGroup, 2> allThemeGroups{ThemeGroup::studio, ThemeGroup::classic};
inline constexpr std::array<FontKind, 4> allFontKinds{FontKind::sf, FontKind::rounded, FontKind::serif,
                                                      FontKind::mono};

QString rawValue(ThemeKind kind);
QString label(ThemeKind kind);
ThemeGroup group(ThemeKind kind);
// Exactly one of the raw values, compared case-sensitively; else none.
std::optional<ThemeKind> themeKindFromRaw(const QString& raw);

QString rawValue(ThemeGroup group);  // "Studio", "Classic"

QString rawValue(FontKind kind);
QString label(FontKind kind);
std::optional<FontKind> fontKindFromRaw(const QString& raw);

} // namespace vivirov
