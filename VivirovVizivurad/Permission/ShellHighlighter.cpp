#include "VivirovVizivurad/Permission/ShellHighlighter.h"

#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"

namespace vivirov {

const QStringList& ShellHighlighter::keywords() {
    static const QStringList words{
        "cd",    "ls",    "cat",   "echo",  "grep",    "rg",    "find",  "sed",   "awk",   "cp",
        "mv",    "rm",    "mkdir", "touch", "curl",    "wget",  "git",   "npm",   "pip",   "python",
        "python3", "swift", "cargo", "make", "chmod",  "chown", "tar",   "ssh",   "kill",  "ps",
        "sudo",  "export", "for",  "while", "if",      "then",  "do",    "done",  "fi",    "in"};
    return words;
}

const QStringList& ShellHighlighter::operators() {
    static const QStringList ops{"|", "||", "&&", ">", ">>", "<", "&", ";"};
    return ops;
}

std::vector<QString> ShellHighlighter::tokenize(const QString& source) {
    std::vector<QString> tokens;
    QString current;
    QChar quote;
    auto emitCurrent = [&] {
        if (!current.isEmpty()) tokens.push_back(current);
        current.clear();
    };
    for (QChar c : source) {
        if (!quote.isNull()) {
            current += c;
            if (c == quote) quote = QChar();
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            current += c;
            quote = c;
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            emitCurrent();
        } else if (c == QLatin1Char('\n')) {
            emitCurrent();
            tokens.push_back(QStringLiteral("\n"));
        } else {
            current += c;
        }
    }
    emitCurrent();
    return tokens;
}

QColor ShellHighlighter::color(const QString& token, bool isFirstWord) {
    const auto& palette = ThemeSnapshot::palette;
    if (token == QLatin1String("\n")) return Qt::transparent;
    if (operators().contains(token)) return palette.orange;
    if (token.startsWith(QLatin1Char('"')) || token.startsWith(QLatin1Char('\''))) return palette.gold;
    if (token.startsWith(QLatin1String("--")) || (token.startsWith(QLatin1Char('-')) && token.size() > 1))
        return palette.cyan;
    if (keywords().contains(token)) return palette.crimson;
    if (isFirstWord) return QColor::fromRgbF(1, 1, 1, 0.92f);
    if (token.contains(QLatin1Char('/')) || token.startsWith(QLatin1Char('~')) || token.startsWith(QLatin1Char('.')))
        return pathColor();
    return QColor::fromRgbF(1, 1, 1, 0.80f);
}

std::vector<ShellHighlighter::Span> ShellHighlighter::attributed(const QString& source) {
    std::vector<Span> spans;
    bool firstWord = true;
    const QColor separator = QColor::fromRgbF(1, 1, 1, 0.80f);
    for (const QString& token : tokenize(source)) {
        if (!spans.empty()) spans.push_back({QStringLiteral(" "), separator});
        spans.push_back({token, color(token, firstWord)});
        firstWord = operators().contains(token);
    }
    return spans;
}

void ShellHighlighter::render(const QString& source, QTextDocument& document, const QFont& font, double lineSpacing) {
    document.clear();
    document.setDefaultFont(font);
    QTextCursor cursor(&document);
    QTextBlockFormat block;
    block.setLineHeight(lineSpacing, QTextBlockFormat::LineDistanceHeight);
    cursor.setBlockFormat(block);
    for (const Span& span : attributed(source)) {
        QTextCharFormat format;
        format.setFont(font);
        format.setForeground(span.color);
        if (span.text == QLatin1String("\n")) {
            cursor.insertBlock(block, format);
            continue;
        }
        cursor.insertText(span.text, format);
    }
}

} // namespace vivirov
