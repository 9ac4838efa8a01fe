#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QPushButton>
#include <QTest>

#include "VivirovVizivurad/Permission/GodModeChrome.h"
#include "VivirovVizivurad/Permission/KillSwitchButton.h"
#include "VivirovVizivurad/Permission/OctagonShape.h"
#include "VivirovVizivurad/Permission/PermissionModePicker.h"
#include "tests/ChatColumn/ColumnFixture.h"

namespace vivirov::test {
namespace {

using Mode = QuintoraViewModel::PermissionMode;
using Chrome = ColumnFixture;

TEST_F(Chrome, ThePickerSetsTheModeAndNamesEachOne) {
    PermissionModePicker picker(*vm);
    picker.show();
    struct Case {
        Mode mode;
        const char* name;
        const char* tooltip;
    } cases[] = {
        {Mode::ask, "Ask", "Every host tool call asks for permission first"},
        {Mode::accept, "Accept", "Trusted: tool calls run automatically, no prompt"},
        {Mode::god, "God", "Autonomous: tool calls run automatically and the window arms"},
    };
    int x = -1;
    for (const auto& c : cases) {
        auto* segment = static_cast<QAbstractButton*>(picker.segment(c.mode));
        EXPECT_EQ(segment->text(), c.name);
        EXPECT_EQ(segment->toolTip(), c.tooltip);
        EXPECT_GT(segment->x(), x) << "ask, accept, god from left to right";
        x = segment->x();
    }
    auto* god = static_cast<QAbstractButton*>(picker.segment(Mode::god));
    EXPECT_FALSE(god->isChecked());
    QTest::mouseClick(god, Qt::LeftButton);
    EXPECT_EQ(vm->permissionMode(), Mode::god);
    EXPECT_TRUE(god->isChecked());
    // Selected God is white on crimson.
    const QImage shot = god->grab().toImage();
    EXPECT_EQ(shot.pixelColor(4, shot.height() / 2).rgb(), PermissionModePicker::tint(Mode::god).rgb());
    vm->setPermissionMode(Mode::accept);
    EXPECT_FALSE(god->isChecked());
    EXPECT_TRUE(static_cast<QAbstractButton*>(picker.segment(Mode::accept))->isChecked());
}

TEST_F(Chrome, GodModeChromeTintsTheWindowButLetsClicksThrough) {
    QWidget window;
    window.resize(600, 400);
    auto* button = new QPushButton("below", &window);
    button->setGeometry(250, 180, 100, 40);
    int clicks = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++clicks; });
    const QImage plain = (window.show(), window.grab().toImage());

    auto* chrome = new GodModeChrome(false, &window);
    chrome->setGeometry(window.rect());
    EXPECT_TRUE(chrome->isHidden());
    chrome->setActive(true);
    chrome->raise();
    QCoreApplication::processEvents();
    EXPECT_FALSE(chrome->isHidden());
    const QImage armed = window.grab().toImage();
    EXPECT_NE(armed.pixel(20, 300), plain.pixel(20, 300)) << "the window is tinted";
    EXPECT_GT(chrome->bannerHeight(), 2);

    QWidget* hit = window.childAt(button->geometry().center());
    EXPECT_EQ(hit, button);
    QTest::mouseClick(hit, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);

    chrome->setActive(false);
    EXPECT_TRUE(chrome->isHidden());
    EXPECT_FALSE(chrome->isSweeping());
}

TEST(KillSwitch, EachClickStopsOnceAndTheButtonSaysWhatItDoes) {
    qtApp();
    int stops = 0;
    KillSwitchButton button([&] { ++stops; }, 56);
    button.show();
    EXPECT_EQ(button.accessibleName(), QString::fromUtf8("Kill switch \xE2\x80\x94 hard stop the swarm"));
    EXPECT_EQ(button.toolTip(), QString::fromUtf8("Hard stop \xE2\x80\x94 cancel generation and tear down all running tools"));
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(stops, 2);
}

TEST(Octagon, CornersStartAtMinus22Point5DegreesAroundTheSmallerSide) {
    const QPolygonF corners = OctagonShape::vertices(QRectF(0, 0, 100, 60));
    ASSERT_EQ(corners.size(), 8);
    const double r = 30, cx = 50, cy = 30;
    const double unit[8][2] = {{0.9239, -0.3827}, {0.9239, 0.3827},  {0.3827, 0.9239},  {-0.3827, 0.9239},
                               {-0.9239, 0.3827}, {-0.9239, -0.3827}, {-0.3827, -0.9239}, {0.3827, -0.9239}};
    for (int i = 0; i < 8; ++i) {
        EXPECT_NEAR(corners[i].x(), cx + r * unit[i][0], 0.01) << i;
        EXPECT_NEAR(corners[i].y(), cy + r * unit[i][1], 0.01) << i;
    }
    // Flat top and bottom edges, like a stop sign.
    EXPECT_NEAR(corners[6].y(), corners[7].y(), 1e-9);
    EXPECT_NEAR(corners[2].y(), corners[3].y(), 1e-9);
}

} // namespace
} // namespace vivirov::test
