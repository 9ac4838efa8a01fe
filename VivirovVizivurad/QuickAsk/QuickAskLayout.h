#pragma once
#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <optional>

namespace vivirov {

// The Quick Ask panel's arithmetic, free of any window: line estimate,
// heights, what a commit sends and where the panel opens.
struct QuickAskLayout {
    static constexpr int panelWidth = 640;
    static constexpr int fixedParts = 58;         // padding, row gap and hint row
    static constexpr int scrollingLines = 6;      // from here the field scrolls
    static constexpr int scrollingFieldHeight = 116;
    static constexpr int charactersPerLine = 74;

    // Display lines of `text`: each line-feed piece counts ⌈characters ÷ 74⌉,
    // at least 1, counting user-perceived characters.
    static int lineCount(const QString& text);
    // Height of the editor row for `lines`: 44, growing 22 a line, at most 132.
    static int editorHeight(int lines);
    static int panelHeight(int lines) { return fixedParts + editorHeight(lines); }

    // The text a commit sends: the draft without white space and line
    // breaks at either end; none when nothing is left.
    static std::optional<QString> committed(const QString& draft);

    struct Screen {
        QRect frame;     // the whole screen
        QRect available; // without panels and docks
    };
    // Top-left corner of a panel of `size` on the screen under `pointer`
    // (else `primary`, else the first): centred across, and 12 % of the
    // available height above the middle. None without screens.
    static std::optional<QPoint> centredOrigin(const QList<Screen>& screens, QPoint pointer,
                                               std::optional<int> primary, QSize size);
};

} // namespace vivirov
