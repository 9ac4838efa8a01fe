#include "VivirovVizivurad/Appearance/Appearance.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"

namespace vivirov {

namespace {
bool inRange(double value) { return value >= Appearance::minScale && value <= Appearance::maxScale; }
} // namespace

Appearance& Appearance::shared() {
    static Appearance* instance =
        new Appearance(std::make_unique<QSettings>(), QProcessEnvironment::systemEnvironment());
    return *instance;
}

Appearance::Appearance(std::unique_ptr<QSettings> settings, const QProcessEnvironment& environment,
                       QObject* parent)
    : QObject(parent), settings_(std::move(settings)) {
    theme_ = themeKindFromRaw(settings_->value(kTheme).toString()).value_or(ThemeKind::midnight);
    family_ = fontKindFromRaw(settings_->value(kFamily).toString()).value_or(FontKind::sf);
    const double stored = settings_->value(kScale, 0.0).toDouble();
    fontScale_ = inRange(stored) ? stored : 1.0;

    if (!environment.isEmpty()) {
        if (auto kind = themeKindFromRaw(environment.value(QStringLiteral("VIVIROV_THEME"))))
            setTheme(*kind);
        if (auto kind = fontKindFromRaw(environment.value(QStringLiteral("VIVIROV_FONT"))))
            setFamily(*kind);
        if (environment.contains(QStringLiteral("VIVIROV_FONTSCALE"))) {
            auto scale = parseScale(environment.value(QStringLiteral("VIVIROV_FONTSCALE")));
            if (scale && inRange(*scale)) setFontScale(*scale);
        }
    }
    copyIntoSnapshot();
}

std::optional<double> Appearance::parseScale(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    if (bytes.isEmpty() || std::isspace(static_cast<unsigned char>(bytes.front()))) return std::nullopt;
    static locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", nullptr);
    char* end = nullptr;
    const double value = strtod_l(bytes.constData(), &end, cLocale);
    if (end != bytes.constData() + bytes.size()) return std::nullopt;
    return value;
}

void Appearance::setTheme(ThemeKind theme) {
    theme_ = theme;
    emit themeChanged();
    persist();
    apply();
}

void Appearance::setFamily(FontKind family) {
    family_ = family;
    emit familyChanged();
    persist();
    apply();
}

void Appearance::setFontScale(double scale) {
    // NaN falls to the default rather than into the snapshot.
    fontScale_ = std::isnan(scale) ? 1.0 : std::clamp(scale, minScale, maxScale);
    emit fontScaleChanged();
    persist();
    apply();
}

void Appearance::reset() {
    setTheme(ThemeKind::midnight);
    setFamily(FontKind::sf);
    setFontScale(1.0);
}

void Appearance::persist() {
    settings_->setValue(kTheme, rawValue(theme_));
    settings_->setValue(kFamily, rawValue(family_));
    settings_->setValue(kScale, fontScale_);
    settings_->sync();
}

void Appearance::apply() {
    copyIntoSnapshot();
    revision_ = int(unsigned(revision_) + 1u);
    emit revisionChanged();
}

void Appearance::copyIntoSnapshot() const {
    ThemeSnapshot::palette = ThemePalette::of(theme_);
    ThemeSnapshot::family = family_;
    ThemeSnapshot::scale = fontScale_;
}

} // namespace vivirov
