#pragma once
#include <QObject>
#include <QProcessEnvironment>
#include <QSettings>
#include <memory>
#include <optional>

#include "VivirovVizivurad/Appearance/ThemeKind.h"

namespace vivirov {

// The user's look: theme, font family and text scale, stored in the settings
// and copied into ThemeSnapshot. Every write stores, saves and applies, even
// when the value is unchanged; each apply raises `revision`, which the main
// window watches to restyle. GUI thread only.
class Appearance final : public QObject {
    Q_OBJECT
    Q_PROPERTY(ThemeKind theme READ theme WRITE setTheme NOTIFY themeChanged)
    Q_PROPERTY(FontKind family READ family WRITE setFamily NOTIFY familyChanged)
    Q_PROPERTY(double fontScale READ fontScale WRITE setFontScale NOTIFY fontScaleChanged)
    Q_PROPERTY(int revision READ revision NOTIFY revisionChanged)

public:
    static constexpr double minScale = 0.8;
    static constexpr double maxScale = 1.5;
    static inline const QString kTheme = QStringLiteral("vivirov.appearance.theme");
    static inline const QString kFamily = QStringLiteral("vivirov.appearance.fontFamily");
    static inline const QString kScale = QStringLiteral("vivirov.appearance.fontScale");

    // The process-wide store over the default settings and the process
    // environment, made on first use.
    static Appearance& shared();

    // Reads the stored choice, then the VIVIROV_THEME, VIVIROV_FONT and
    // VIVIROV_FONTSCALE overrides (an accepted override is a write).
    Appearance(std::unique_ptr<QSettings> settings, const QProcessEnvironment& environment,
               QObject* parent = nullptr);

    ThemeKind theme() const { return theme_; }
    FontKind family() const { return family_; }
    double fontScale() const { return fontScale_; }
    int revision() const { return revision_; }

    void setTheme(ThemeKind theme);
    void setFamily(FontKind family);
    // A scale outside 0.8 to 1.5 is clamped into it.
    void setFontScale(double scale);
    // Midnight, system family, 100 %: three writes.
    void reset();

    // The whole text is a C-locale number: no leading blank, nothing after it.
    static std::optional<double> parseScale(const QString& text);

signals:
    void themeChanged();
    void familyChanged();
    void fontScaleChanged();
    void revisionChanged();

private:
    void persist();
    void apply();
    void copyIntoSnapshot() const;

    std::unique_ptr<QSettings> settings_;
    ThemeKind theme_ = ThemeKind::midnight;
    FontKind family_ = FontKind::sf;
    double fontScale_ = 1.0;
    int revision_ = 0;
};

} // namespace vivirov
