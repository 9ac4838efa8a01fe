#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QTest>

#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/AgentModeBar.h"
#include "VivirovVizivurad/ChatColumn/AgentModeInfo.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {
namespace {

TEST(AgentModeInfo, OnlyTheExactRawValuesNameAMode) {
    for (AgentMode mode : AgentModeInfo::allCases) EXPECT_EQ(AgentModeInfo::fromRaw(AgentModeInfo::rawValue(mode)), mode);
    EXPECT_EQ(AgentModeInfo::fromRaw("plan"), AgentMode::plan);
    for (const char* raw : {"Ask", "", "AGENT", " plan"}) EXPECT_EQ(AgentModeInfo::fromRaw(raw), std::nullopt) << raw;
    EXPECT_EQ(AgentModeInfo::hint(AgentMode::ask), "Single response, no tools");
    EXPECT_EQ(AgentModeInfo::hint(AgentMode::agent), "Autonomous loop with tool use");
    EXPECT_EQ(AgentModeInfo::hint(AgentMode::plan), "Read-only analysis, no writes");
}

TEST(AgentModeBar, HighlightsTheBoundModeAndWritesAClickedOne) {
    qtApp();
    AgentMode bound = AgentMode::agent;
    int writes = 0;
    AgentModeBar bar([&] { return bound; }, [&](AgentMode m) {
        bound = m;
        ++writes;
    });
    bar.show();
    auto* agent = static_cast<QAbstractButton*>(bar.segment(AgentMode::agent));
    auto* plan = static_cast<QAbstractButton*>(bar.segment(AgentMode::plan));
    EXPECT_TRUE(agent->isChecked());
    EXPECT_FALSE(plan->isChecked());
    EXPECT_EQ(agent->accessibleName(), "Agent mode");
    EXPECT_EQ(plan->accessibleDescription(), "Read-only analysis, no writes");
    // The selected segment is drawn in its colour on a capsule of it.
    const QImage shot = agent->grab().toImage();
    const QColor orange = ThemeSnapshot::palette.orange;
    bool tinted = false;
    for (int x = 0; x < shot.width() && !tinted; ++x) {
        const QColor c = shot.pixelColor(x, shot.height() / 2);
        tinted = std::abs(c.red() - orange.red()) < 30 && std::abs(c.green() - orange.green()) < 30 &&
                 std::abs(c.blue() - orange.blue()) < 30;
    }
    EXPECT_TRUE(tinted);

    QTest::mouseClick(plan, Qt::LeftButton);
    EXPECT_EQ(bound, AgentMode::plan);
    EXPECT_TRUE(plan->isChecked());
    EXPECT_FALSE(agent->isChecked());
    QTest::mouseClick(plan, Qt::LeftButton);
    EXPECT_EQ(writes, 2) << "the selected segment writes the same value again";
    EXPECT_EQ(bound, AgentMode::plan);
}

} // namespace
} // namespace vivirov::test
