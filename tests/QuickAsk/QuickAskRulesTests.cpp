#include <gtest/gtest.h>

#include "VivirovVizivurad/QuickAsk/QuickAskLayout.h"
#include "VivirovVizivurad/QuickAsk/QuickAskTrigger.h"

// X11 last: its macros (None, KeyPress, Status, ...) would break the headers above.
#include <X11/X.h>
#include <X11/keysym.h>

namespace vivirov::test {
namespace {

TEST(QuickAskLayout, LineCountEstimatesWrappingAt74Characters) {
    const QString family = QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7");
    struct Case {
        QString text;
        int lines;
    };
    for (const Case& c : {Case{"", 1}, Case{QString(74, 'x'), 1}, Case{QString(75, 'x'), 2}, Case{"a\n\nb", 3},
                          Case{"a\n", 2}, Case{QString(148, 'x') + "\nx", 3},
                          // One grapheme cluster of five code points counts once.
                          Case{family.repeated(74), 1}, Case{family.repeated(75), 2}})
        EXPECT_EQ(QuickAskLayout::lineCount(c.text), c.lines) << c.text.left(20).toStdString();
}

TEST(QuickAskLayout, PanelGrowsWithLinesUpToFive) {
    const int heights[] = {102, 124, 146, 168, 190, 190, 190};
    for (int lines = 1; lines <= 7; ++lines) EXPECT_EQ(QuickAskLayout::panelHeight(lines), heights[lines - 1]) << lines;
    EXPECT_EQ(QuickAskLayout::panelHeight(40), 190);
}

TEST(QuickAskLayout, CommitSendsTheTrimmedTextOrNothing) {
    EXPECT_EQ(QuickAskLayout::committed("  hello \n"), QString("hello"));
    EXPECT_EQ(QuickAskLayout::committed("a\n b"), QString("a\n b"));
    for (const char* blank : {"", " \n\t", "\n\n"}) EXPECT_EQ(QuickAskLayout::committed(blank), std::nullopt) << blank;
}

TEST(QuickAskLayout, OpensCentredOnTheScreenUnderThePointer) {
    // Two side-by-side screens; the second has a 40-point panel at its top.
    const QList<QuickAskLayout::Screen> screens{{QRect(0, 0, 1920, 1080), QRect(0, 0, 1920, 1080)},
                                                {QRect(1920, 0, 1280, 1024), QRect(1920, 40, 1280, 984)}};
    const QSize panel(640, 102);
    struct Case {
        QPoint pointer;
        std::optional<int> primary;
        std::optional<QPoint> origin;
    };
    // x = centre − 320; y = centre − 51 − 12 % of the available height (y grows downwards).
    for (const Case& c : {Case{{100, 100}, 0, QPoint(640, 540 - 51 - 130)},
                          Case{{2000, 500}, 0, QPoint(2240, 532 - 51 - 118)},
                          Case{{-50, -50}, 1, QPoint(2240, 532 - 51 - 118)},  // off every screen: the primary
                          Case{{-50, -50}, std::nullopt, QPoint(640, 359)}}) // no primary: the first
        EXPECT_EQ(QuickAskLayout::centredOrigin(screens, c.pointer, c.primary, panel), c.origin)
            << c.pointer.x() << "," << c.pointer.y();
    EXPECT_EQ(QuickAskLayout::centredOrigin({}, {0, 0}, std::nullopt, panel), std::nullopt);
}

TEST(QuickAskTrigger, OnlyCtrlShiftJWhateverTheLocks) {
    using M = Qt::KeyboardModifier;
    struct Case {
        int key;
        Qt::KeyboardModifiers modifiers;
        bool match;
    };
    for (const Case& c : {Case{Qt::Key_J, M::ControlModifier | M::ShiftModifier, true},
                          Case{Qt::Key_J, M::ControlModifier | M::ShiftModifier | M::KeypadModifier, true},
                          Case{Qt::Key_J, M::ControlModifier | M::ShiftModifier | M::AltModifier, false},
                          Case{Qt::Key_J, M::ControlModifier | M::ShiftModifier | M::MetaModifier, false},
                          Case{Qt::Key_J, M::ControlModifier, false}, Case{Qt::Key_J, M::ShiftModifier, false},
                          Case{Qt::Key_K, M::ControlModifier | M::ShiftModifier, false},
                          Case{Qt::Key_A, M::ControlModifier | M::ShiftModifier, false}})
        EXPECT_EQ(QuickAskTrigger::matches(c.key, c.modifiers), c.match) << c.key << " " << c.modifiers.toInt();

    struct X11Case {
        unsigned long keysym;
        unsigned int state;
        bool match;
    };
    for (const X11Case& c : {X11Case{XK_j, ControlMask | ShiftMask, true}, X11Case{XK_J, ControlMask | ShiftMask, true},
                             X11Case{XK_j, ControlMask | ShiftMask | LockMask, true},
                             X11Case{XK_j, ControlMask | ShiftMask | Mod2Mask, true},
                             X11Case{XK_j, ControlMask | ShiftMask | Mod1Mask, false},
                             X11Case{XK_j, ControlMask | ShiftMask | Mod4Mask, false},
                             X11Case{XK_j, ControlMask, false}, X11Case{XK_a, ControlMask | ShiftMask, false}})
        EXPECT_EQ(QuickAskTrigger::matchesX11(c.keysym, c.state), c.match) << c.keysym << " " << c.state;
}

} // namespace
} // namespace vivirov::test
