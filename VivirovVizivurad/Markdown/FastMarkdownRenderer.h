#pragma once
#include <QColor>
#include <QSize>
#include <QTextEdit>
#include <optional>

#include "VivirovVizivurad/Markdown/FMIncremental.h"
#include "VivirovVizivurad/Markdown/InlineMarkdown.h"

namespace vivirov {

// What the message bubble hands the streaming renderer on each redraw.
struct FastMarkdownInput {
    QString text;              // the whole answer so far
    bool isStreaming = false;  // follow the end while virtualised
    double fontSize = 14;      // prose size in pixels; code is one smaller
    QColor textColor;
    qsizetype virtualizeThreshold = 40000;
    double maxVirtualHeight = 620;
    // Drawn after the open tail but never segmented, so a typing cursor
    // cannot end up inside a committed chunk.
    QString cursorSuffix;
};

// Shows a streaming answer as Markdown. Each updateContent appends the newly
// completed segments and re-renders only the unfinished tail, editing the
// document at its end. Above the virtualisation threshold the view has a
// fixed height and its own scroll bar.
class FastMarkdownRenderer : public QTextEdit {
    Q_OBJECT
public:
    explicit FastMarkdownRenderer(QWidget* parent = nullptr);

    void updateContent(const FastMarkdownInput& input);
    // The height policy for a proposed width (none: 320).
    QSize sizeThatFits(std::optional<int> width);

    static void renderInline(QTextCursor& cursor, QStringView text, double size, const QColor& color);
    // Code has fixed colours: the colour of prose has no effect on it.
    static void renderCode(QTextCursor& cursor, QStringView text, double size);

    static QColor codeText();
    static QColor codeBackground();

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

    // For tests: the length of the rendered committed prefix.
    qsizetype committedLength() const { return committedDst_; }

private:
    void appendSegment(QTextCursor& cursor, const FMSegment& segment);
    qsizetype storageLength() const;

    FastMarkdownInput input_;
    FMIncrementalState incr_;
    qsizetype committedDst_ = 0;
    qsizetype lastLen_ = 0;
    bool didFirstRender_ = false;
    int containerWidth_ = 320;
};

} // namespace vivirov
