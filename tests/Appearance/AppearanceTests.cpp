#include <gtest/gtest.h>

#include <QFontMetricsF>

#include <QFontInfo>
#include <QSettings>
#include <QTemporaryDir>

#include "VivirovVizivurad/Appearance/Appearance.h"
#include "VivirovVizivurad/Appearance/GenerationPhase.h"
#include "VivirovVizivurad/Appearance/RefinedElevation.h"
#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/Theme.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "tests/support/QtHarness.h"

using namespace vivirov;


// Every glyph as wide as every other: what a code face must give. (Qt's own
// fixed-pitch flag is wrong for some monospace families fontconfig picks.)
static bool hasFixedAdvance(const QFont& font) {
    QFontMetricsF metrics(font);
    return metrics.horizontalAdvance(QLatin1Char('i')) == metrics.horizontalAdvance(QLatin1Char('W'));
}

namespace {
struct Store {
    QTemporaryDir dir;
    QString path() const { return dir.path() + "/settings.ini"; }
    std::unique_ptr<QSettings> settings() const { return std::make_unique<QSettings>(path(), QSettings::IniFormat); }
    void put(const QString& key, const QVariant& value) const { settings()->setValue(key, value); }
    QVariant get(const QString& key) const { return settings()->value(key); }
};

QProcessEnvironment env(std::initializer_list<std::pair<const char*, const char*>> vars) {
    QProcessEnvironment e;
    e.insert("HOME", "/nowhere");  // a non-empty environment
    for (auto [k, v] : vars) e.insert(k, v);
    return e;
}
} // namespace

TEST(Appearance, StartUpFromStoredValuesAndOverrides) {
    test::qtApp();
    const struct {
        const char* name;
        QVariant storedTheme, storedScale;
        QProcessEnvironment environment;
        ThemeKind theme;
        double scale;
        int revision;
        QVariant themeAfter;
    } cases[] = {
        {"nothing stored", {}, {}, env({}), ThemeKind::midnight, 1.0, 0, {}},
        {"too small", {}, 0.79, env({}), ThemeKind::midnight, 1.0, 0, {}},
        {"too large", {}, 1.51, env({}), ThemeKind::midnight, 1.0, 0, {}},
        {"lower end", {}, 0.8, env({}), ThemeKind::midnight, 0.8, 0, {}},
        {"upper end", "aurora", 1.5, env({}), ThemeKind::aurora, 1.5, 0, {"aurora"}},
        {"capitalised theme", "Solar", {}, env({}), ThemeKind::midnight, 1.0, 0, {"Solar"}},
        {"theme override", {}, {}, env({{"VIVIROV_THEME", "solar"}}), ThemeKind::solar, 1.0, 1, {"solar"}},
        {"bad theme override", {}, {}, env({{"VIVIROV_THEME", "Solar"}}), ThemeKind::midnight, 1.0, 0, {}},
        {"scale override", {}, {}, env({{"VIVIROV_FONTSCALE", "1.25"}}), ThemeKind::midnight, 1.25, 1, {"midnight"}},
        {"scale out of range", {}, {}, env({{"VIVIROV_FONTSCALE", "2"}}), ThemeKind::midnight, 1.0, 0, {}},
        {"scale not a number", {}, {}, env({{"VIVIROV_FONTSCALE", "nan"}}), ThemeKind::midnight, 1.0, 0, {}},
        {"scale leading blank", {}, {}, env({{"VIVIROV_FONTSCALE", " 1.25"}}), ThemeKind::midnight, 1.0, 0, {}},
        {"scale trailing letter", {}, {}, env({{"VIVIROV_FONTSCALE", "1.25x"}}), ThemeKind::midnight, 1.0, 0, {}},
        {"empty environment ignores nothing stored", {}, {}, QProcessEnvironment(), ThemeKind::midnight, 1.0, 0, {}},
        {"three overrides", {}, {}, env({{"VIVIROV_THEME", "kimi"}, {"VIVIROV_FONT", "serif"}, {"VIVIROV_FONTSCALE", "0.9"}}),
         ThemeKind::kimi, 0.9, 3, {"kimi"}},
    };
    for (const auto& c : cases) {
        Store store;
        if (c.storedTheme.isValid()) store.put(Appearance::kTheme, c.storedTheme);
        if (c.storedScale.isValid()) store.put(Appearance::kScale, c.storedScale);
        Appearance appearance(store.settings(), c.environment);
        EXPECT_EQ(appearance.theme(), c.theme) << c.name;
        EXPECT_DOUBLE_EQ(appearance.fontScale(), c.scale) << c.name;
        EXPECT_EQ(appearance.revision(), c.revision) << c.name;
        EXPECT_EQ(store.get(Appearance::kTheme), c.themeAfter) << c.name;
        EXPECT_EQ(ThemeSnapshot::palette, ThemePalette::of(c.theme)) << c.name;
        if (c.storedScale.isValid() && c.revision == 0)
            EXPECT_EQ(store.get(Appearance::kScale), c.storedScale) << c.name << ": not rewritten";
    }
}

TEST(Appearance, WritesSaveAndRaiseTheRevision) {
    test::qtApp();
    Store store;
    Appearance appearance(store.settings(), env({{"VIVIROV_THEME", "solar"}}));
    // An accepted override is stored: a later start without it keeps it.
    EXPECT_EQ(Appearance(store.settings(), env({})).theme(), ThemeKind::solar);

    const int before = appearance.revision();
    appearance.setTheme(ThemeKind::solar);  // the same theme still saves and applies
    EXPECT_EQ(appearance.revision(), before + 1);
    appearance.setFamily(FontKind::mono);
    appearance.setFontScale(1.5);
    EXPECT_EQ(ThemeSnapshot::family, FontKind::mono);
    EXPECT_DOUBLE_EQ(ThemeSnapshot::scale, 1.5);
    EXPECT_EQ(store.get(Appearance::kFamily).toString(), QStringLiteral("mono"));

    appearance.reset();
    EXPECT_EQ(appearance.revision(), before + 6);
    EXPECT_EQ(store.get(Appearance::kTheme).toString(), QStringLiteral("midnight"));
    EXPECT_EQ(store.get(Appearance::kFamily).toString(), QStringLiteral("sf"));
    EXPECT_DOUBLE_EQ(store.get(Appearance::kScale).toDouble(), 1.0);
}

TEST(ThemeSnapshot, UiFontFollowsFamilyAndScaleInPixels) {
    test::qtApp();
    ThemeSnapshot::family = FontKind::sf;
    ThemeSnapshot::scale = 1.0;
    QFont font = ThemeSnapshot::ui(13, QFont::Normal, FontDesign::monospaced);
    EXPECT_EQ(font.pixelSize(), 13);
    EXPECT_TRUE(hasFixedAdvance(font));
    ThemeSnapshot::family = FontKind::serif;
    font = ThemeSnapshot::ui(13, QFont::Normal, FontDesign::monospaced);
    EXPECT_EQ(font.styleHint(), QFont::Serif);
    ThemeSnapshot::scale = 1.5;
    EXPECT_EQ(ThemeSnapshot::ui(10, QFont::Bold, FontDesign::standard).pixelSize(), 15);
    ThemeSnapshot::family = FontKind::sf;
    ThemeSnapshot::scale = 1.0;
}

TEST(Theme, SpringSettlesWithOneSmallOvershoot) {
    QEasingCurve spring = Theme::spring();
    EXPECT_DOUBLE_EQ(spring.valueForProgress(0), 0);
    EXPECT_DOUBLE_EQ(spring.valueForProgress(1), 1);
    double peak = 0;
    for (int i = 0; i <= 100; ++i) peak = std::max(peak, spring.valueForProgress(i / 100.0));
    EXPECT_GT(peak, 1.0);    // damping 0.86 overshoots a little
    EXPECT_LT(peak, 1.01);
    EXPECT_NEAR(Theme::springDurationMs(), 537, 5);
    EXPECT_EQ(Theme::danger(), QColor::fromRgbF(0.95f, 0.32f, 0.36f));
}

TEST(GenerationPhase, RawValuesAndLabels) {
    EXPECT_EQ(generationPhaseFromRaw("generating"), GenerationPhase::generating);
    EXPECT_EQ(label(GenerationPhase::thinking), QStringLiteral("THINKING"));
    EXPECT_FALSE(generationPhaseFromRaw("Idle").has_value());
}

TEST(Symbols, DrawsKnownNamesInTheAskedColour) {
    test::qtApp();
    for (const char* name : {"atom", "globe", "photo.artframe", "point.topleft.down.curvedto.point.bottomright.up",
                             "doc.richtext", "xmark", "eye", "checkmark", "doc.on.doc", "paintpalette.fill"})
        EXPECT_TRUE(Symbols::has(name)) << name;
    EXPECT_FALSE(Symbols::has("no.such.symbol"));
    EXPECT_TRUE(Symbols::pixmap("no.such.symbol", 16, Qt::red).isNull());

    const QImage image = Symbols::pixmap("stop.fill", 32, QColor(255, 0, 0)).toImage();
    int red = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() == 255) {
                EXPECT_EQ(c.rgb(), QColor(255, 0, 0).rgb());
                ++red;
            }
        }
    EXPECT_GT(red, 100);
}

TEST(RefinedElevation, OutlineIsTheRingOrFaintPrimary) {
    const QColor primary(240, 240, 240);
    const RefinedElevation plain{16, std::nullopt, 0.5};
    QColor faint = primary;
    faint.setAlphaF(0.09f);
    EXPECT_EQ(plain.outlineColor(primary), faint);
    const QColor ring(10, 200, 30, 128);
    const RefinedElevation ringed{12, ring, 1};
    EXPECT_EQ(ringed.outlineColor(primary), ring);
}
