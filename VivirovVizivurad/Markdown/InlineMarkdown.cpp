#include "VivirovVizivurad/Markdown/InlineMarkdown.h"

#include "VivirovVizivurad/Appearance/SystemFont.h"

namespace vivirov {

namespace {

struct Style {
    bool strong = false, emphasis = false, strikethrough = false;
    QString link;
};

bool isAsciiPunct(QChar c) { return c.unicode() < 128 && (c.isPunct() || c.isSymbol()); }
bool isSpaceAt(QStringView t, qsizetype i) { return i < 0 || i >= t.size() || t[i].isSpace(); }
bool isWordAt(QStringView t, qsizetype i) { return i >= 0 && i < t.size() && t[i].isLetterOrNumber(); }

qsizetype runLength(QStringView t, qsizetype i, qsizetype end) {
    qsizetype j = i;
    while (j < end && t[j] == t[i]) ++j;
    return j - i;
}

class Parser {
public:
    explicit Parser(QStringView text) : t_(text) {}

    std::vector<InlineRun> run() {
        parse(0, t_.size(), Style{});
        flush(Style{});
        return std::move(out_);
    }

private:
    void flush(const Style& style) {
        if (pending_.isEmpty()) return;
        append(pending_, style, false);
        pending_.clear();
    }

    void append(const QString& text, const Style& style, bool code) {
        InlineRun next{text, style.strong, style.emphasis, style.strikethrough, code, style.link};
        if (!out_.empty()) {
            InlineRun& last = out_.back();
            InlineRun probe = last;
            probe.text = text;
            if (probe == next) {
                last.text += text;
                return;
            }
        }
        out_.push_back(std::move(next));
    }

    // A closing run of exactly `n` copies of `c` after `from`, or -1.
    qsizetype findCloser(QChar c, qsizetype n, qsizetype from, qsizetype end) const {
        for (qsizetype j = from; j < end;) {
            if (t_[j] == u'\\') { j += 2; continue; }
            if (t_[j] != c) { ++j; continue; }
            const qsizetype len = runLength(t_, j, end);
            const bool rightFlanking = !isSpaceAt(t_, j - 1);
            const bool wordAfter = c == u'_' && isWordAt(t_, j + len);
            if (len == n && rightFlanking && !wordAfter && j > from) return j;
            j += len;
        }
        return -1;
    }

    qsizetype findBracketClose(qsizetype from, qsizetype end) const {
        int depth = 0;
        for (qsizetype j = from; j < end; ++j) {
            if (t_[j] == u'\\') { ++j; continue; }
            if (t_[j] == u'[') ++depth;
            else if (t_[j] == u']' && depth-- == 0) return j;
        }
        return -1;
    }

    void parse(qsizetype i, qsizetype end, const Style& style) {
        while (i < end) {
            const QChar c = t_[i];
            if (c == u'\\' && i + 1 < end && isAsciiPunct(t_[i + 1])) {
                pending_ += t_[i + 1];
                i += 2;
            } else if (c == u'`') {
                const qsizetype n = runLength(t_, i, end);
                qsizetype close = -1;
                for (qsizetype j = i + n; j < end;) {
                    if (t_[j] != u'`') { ++j; continue; }
                    const qsizetype len = runLength(t_, j, end);
                    if (len == n) { close = j; break; }
                    j += len;
                }
                if (close < 0) {
                    pending_ += t_.sliced(i, n);
                    i += n;
                    continue;
                }
                flush(style);
                append(t_.sliced(i + n, close - i - n).toString(), style, true);
                i = close + n;
            } else if (c == u'[') {
                const qsizetype close = findBracketClose(i + 1, end);
                qsizetype target = -1;
                if (close > i && close + 1 < end && t_[close + 1] == u'(') {
                    for (qsizetype j = close + 2; j < end && !t_[j].isSpace(); ++j)
                        if (t_[j] == u')') { target = j; break; }
                }
                if (target < 0) {
                    pending_ += c;
                    ++i;
                    continue;
                }
                flush(style);
                Style inner = style;
                inner.link = t_.sliced(close + 2, target - close - 2).toString();
                parse(i + 1, close, inner);
                flush(inner);
                i = target + 1;
            } else if (c == u'*' || c == u'_' || c == u'~') {
                const qsizetype n = runLength(t_, i, end);
                const bool leftFlanking = !isSpaceAt(t_, i + n);
                const bool wordBefore = c == u'_' && isWordAt(t_, i - 1);
                const bool usable = c == u'~' ? n == 2 : n <= 3;
                const qsizetype close =
                    usable && leftFlanking && !wordBefore ? findCloser(c, n, i + n, end) : -1;
                if (close < 0) {
                    pending_ += t_.sliced(i, n);
                    i += n;
                    continue;
                }
                flush(style);
                Style inner = style;
                if (c == u'~') inner.strikethrough = true;
                if (c != u'~' && n != 2) inner.emphasis = true;
                if (c != u'~' && n >= 2) inner.strong = true;
                parse(i + n, close, inner);
                flush(inner);
                i = close + n;
            } else {
                pending_ += c;
                ++i;
            }
        }
        flush(style);
    }

    QStringView t_;
    QString pending_;
    std::vector<InlineRun> out_;
};

bool wellFormed(QStringView text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate()) {
            if (i + 1 >= text.size() || !text[i + 1].isLowSurrogate()) return false;
            ++i;
        } else if (text[i].isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<std::vector<InlineRun>> InlineMarkdown::parse(QStringView text) {
    if (!wellFormed(text)) return std::nullopt;
    return Parser(text).run();
}

void InlineMarkdown::insert(QTextCursor& cursor, QStringView text, const QTextCharFormat& base,
                            const QColor& linkColor) {
    const auto runs = parse(text);
    if (!runs) {
        cursor.insertText(text.toString(), base);
        return;
    }
    const int pixels = base.font().pixelSize() > 0 ? base.font().pixelSize() : 13;
    for (const InlineRun& run : *runs) {
        QTextCharFormat format = base;
        if (run.code) format.setFont(systemFont(pixels, QFont::Normal, FontDesign::monospaced));
        if (run.strong) format.setFontWeight(QFont::Bold);
        if (run.emphasis) format.setFontItalic(true);
        if (run.strikethrough) format.setFontStrikeOut(true);
        if (!run.link.isEmpty()) {
            format.setAnchor(true);
            format.setAnchorHref(run.link);
            format.setForeground(linkColor);
            format.setFontUnderline(true);
        }
        cursor.insertText(run.text, format);
    }
}

} // namespace vivirov
