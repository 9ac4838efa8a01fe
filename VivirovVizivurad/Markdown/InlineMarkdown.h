#pragma once
#include <QString>
#include <QStringView>
#include <QTextCharFormat>
#include <QTextCursor>
#include <optional>
#include <vector>

namespace vivirov {

// A piece of inline Markdown with its styles.
struct InlineRun {
    QString text;
    bool strong = false;
    bool emphasis = false;
    bool strikethrough = false;
    bool code = false;
    QString link;  // the target of [text](target); empty outside links
    bool operator==(const InlineRun&) const = default;
};

// Inline-only Markdown: emphasis (*x*, _x_), strong (**x**, __x__), both
// (***x***), strikethrough (~~x~~), code spans, [links](target) and backslash
// escapes. Block syntax (headings, lists, quotes) stays literal text, and
// whitespace and line breaks are kept as written.
class InlineMarkdown {
public:
    // None when the text is not well-formed UTF-16 (an unpaired surrogate).
    static std::optional<std::vector<InlineRun>> parse(QStringView text);

    // Inserts the text at the cursor with `base` carrying the styles of each
    // run (bold, italic, strike-through, a monospaced code span, an
    // underlined link in linkColor with its target as anchor). Text that does
    // not parse goes in plain, in `base`.
    static void insert(QTextCursor& cursor, QStringView text, const QTextCharFormat& base,
                       const QColor& linkColor);

    InlineMarkdown() = delete;
};

} // namespace vivirov
