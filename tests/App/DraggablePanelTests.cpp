#include <gtest/gtest.h>

#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include "VivirovVizivurad/App/Layout/DraggablePanel.h"
#include "VivirovVizivurad/App/Layout/PillButton.h"
#include "tests/support/QtHarness.h"

namespace vivirov {
namespace {

// A floating panel with a button filling it, inside a host window.
struct PanelFixture {
    bool app = (test::qtApp(), true);
    QWidget host;
    QWidget* panel = new QWidget(&host);
    QPushButton* button = new QPushButton(QStringLiteral("Act"), panel);
    DraggablePanel* drag;

    PanelFixture() {
        host.resize(600, 400);
        panel->setGeometry(100, 100, 160, 80);
        button->setGeometry(0, 0, 160, 80);
        drag = DraggablePanel::attach(panel);
        host.show();
    }
    // Press at the button's centre, move by `dx` in steps, release.
    void dragBy(int dx) {
        QPoint at = button->rect().center();
        const QPointF start = button->mapToGlobal(QPointF(at)); // the panel moves under the pointer
        QTest::mousePress(button, Qt::LeftButton, {}, at);
        const int steps = 5;
        for (int i = 1; i <= steps; ++i) {
            QMouseEvent move(QEvent::MouseMove, QPointF(at), start + QPointF(dx * i / steps, 0),
                             Qt::NoButton, Qt::LeftButton, {});
            QApplication::sendEvent(button, &move);
        }
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), start + QPointF(dx, 0),
                            Qt::LeftButton, Qt::NoButton, {});
        QApplication::sendEvent(button, &release);
    }
};

TEST(DraggablePanel, SmallPressesClickTheButtonAndDragsAddUp) {
    PanelFixture f;
    QSignalSpy clicks(f.button, &QPushButton::clicked);
    f.dragBy(5); // under 6 points: a click
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(f.panel->pos(), QPoint(100, 100));

    f.dragBy(100);
    f.dragBy(-50);
    EXPECT_EQ(clicks.count(), 1); // drags are not clicks
    EXPECT_EQ(f.panel->pos(), QPoint(150, 100));
    EXPECT_EQ(f.drag->offset().committed(), QPointF(50, 0));
    EXPECT_EQ(f.drag->offset().live(), QPointF(0, 0));

    QTest::mouseDClick(f.button, Qt::LeftButton);
    EXPECT_EQ(f.panel->pos(), QPoint(100, 100));
    EXPECT_EQ(f.panel->toolTip(), QStringLiteral("Drag to move \u00B7 double-click to reset"));
}

TEST(DraggablePanel, HandleShowsOnHoverAndNeverTakesTheMouse) {
    PanelFixture f;
    EXPECT_FALSE(f.drag->handle()->isVisible());
    EXPECT_TRUE(f.drag->handle()->testAttribute(Qt::WA_TransparentForMouseEvents));
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(f.panel, &enter);
    EXPECT_TRUE(f.drag->handle()->isVisible());
    EXPECT_EQ(f.drag->handle()->geometry(), QRect(65, 4, 30, 4));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(f.panel, &leave);
    EXPECT_FALSE(f.drag->handle()->isVisible());
}

TEST(PillButton, PressedFillIsDenserAndTheWholeButtonDims) {
    test::qtApp();
    PillButton button(QStringLiteral("Apply"), QColor(255, 0, 0));
    button.resize(button.sizeHint());
    auto fillAlpha = [&] {
        QImage image(button.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        button.render(&image, {}, {}, QWidget::DrawChildren);
        return image.pixelColor(4, button.height() / 2).alphaF();
    };
    EXPECT_NEAR(fillAlpha(), 0.16, 0.01);
    button.setDown(true);
    EXPECT_NEAR(fillAlpha(), 0.28 * 0.8, 0.01);
}

} // namespace
} // namespace vivirov
