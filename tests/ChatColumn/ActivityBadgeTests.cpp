#include <gtest/gtest.h>

#include <QTest>

#include "VivirovVizivurad/Appearance/Appearance.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ActivityBadge.h"
#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScopedEnv.h"

namespace vivirov::test {
namespace {

class Badges : public ::testing::Test {
protected:
    Badges() {
        qtApp();
        Appearance::shared().setTheme(ThemeKind::midnight);
    }
    ~Badges() override { ReduceMotion::force(std::nullopt); }
};

TEST_F(Badges, LabelsKeepTheToolNameAsItIs) {
    ToolBadge tool("web_search");
    EXPECT_EQ(tool.label(), QString::fromUtf8("Executing web_search\xE2\x80\xA6"));
    EXPECT_EQ(tool.symbol(), "gearshape.2.fill");
    SynthesizingBadge synth;
    EXPECT_EQ(synth.label(), QString::fromUtf8("Synthesizing Architecture\xE2\x80\xA6"));
    EXPECT_EQ(synth.symbol(), "sparkles");
}

TEST_F(Badges, ReduceMotionComesFromTheEnvironmentOverTheDesktop) {
    ScopedEnv env;
    env.set("VIVIROV_REDUCE_MOTION", "1");
    // The process caches its answer; a forced value stands in for a restart.
    ReduceMotion::force(std::nullopt);
    (void)ReduceMotion::desktopSetting(); // readable without a desktop, absent or not
    ReduceMotion::force(true);
    EXPECT_TRUE(ReduceMotion::enabled());
    ReduceMotion::force(false);
    EXPECT_FALSE(ReduceMotion::enabled());
}

TEST_F(Badges, UnderReduceMotionNothingMoves) {
    ReduceMotion::force(true);
    ToolBadge tool("execute_bash");
    SynthesizingBadge synth;
    for (ActivityBadge* badge : {static_cast<ActivityBadge*>(&tool), static_cast<ActivityBadge*>(&synth)}) {
        badge->resize(badge->sizeHint());
        badge->show();
        const QImage first = badge->grab().toImage();
        QTest::qWait(100);
        EXPECT_EQ(badge->grab().toImage(), first) << badge->label().toStdString();
        EXPECT_FALSE(badge->isAnimating());
    }
    EXPECT_DOUBLE_EQ(tool.borderOpacity(), 0.3);
    EXPECT_DOUBLE_EQ(synth.borderOpacity(), 0.35);
}

TEST_F(Badges, TheToolBorderPulsesBetweenItsTwoOpacities) {
    ReduceMotion::force(false);
    ToolBadge tool("execute_bash");
    tool.resize(tool.sizeHint());
    tool.show();
    EXPECT_TRUE(tool.isAnimating());
    ASSERT_TRUE(qtWaitUntil([&] { return tool.borderOpacity() > 0.5; }, 3000));
    ASSERT_TRUE(qtWaitUntil([&] { return tool.borderOpacity() < 0.35; }, 3000));
    EXPECT_GE(tool.borderOpacity(), 0.3);
}

// The moving band is added only where the icon and the label are drawn: the
// material and the border around them are untouched.
TEST_F(Badges, TheShimmerBrightensGlyphsOnly) {
    ReduceMotion::force(true);
    SynthesizingBadge still;
    still.resize(still.sizeHint());
    still.show();
    const QImage plain = still.grab().toImage();

    ReduceMotion::force(false);
    SynthesizingBadge moving;
    moving.resize(moving.sizeHint());
    moving.show();
    // The band lies over the glyphs around the middle of its run.
    ASSERT_TRUE(qtWaitUntil([&] { return moving.shimmerPhase() > -0.2 && moving.shimmerPhase() < 0.3; }, 4000));
    const QImage shiny = moving.grab().toImage();
    ASSERT_EQ(shiny.size(), plain.size());

    // A glyph pixel is one where the plain badge differs from its own fill
    // next to it (the fill sampled inside the padding, left of the icon).
    const QRgb fill = plain.pixel(6 * plain.devicePixelRatio(), plain.height() / 2);
    int brightened = 0, strays = 0;
    for (int y = 0; y < plain.height(); ++y)
        for (int x = 0; x < plain.width(); ++x) {
            if (shiny.pixel(x, y) == plain.pixel(x, y)) continue;
            if (plain.pixel(x, y) == fill) ++strays;
            else ++brightened;
        }
    EXPECT_GT(brightened, 0);
    EXPECT_EQ(strays, 0);
}

} // namespace
} // namespace vivirov::test
