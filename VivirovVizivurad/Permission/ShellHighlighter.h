#pragma once
#include <QColor>
#include <QFont>
#include <QString>
#include <QStringList>

#include <vector>

class QTextDocument;

namespace vivirov {

// Colours a shell command for the permission card. The command is split
// into tokens (quotes keep their blanks, a line feed is a token of its own)
// and joined again with single blanks; each token is coloured by the first
// rule that fits it: operators, quoted text, options, command words, the
// first word of a command, path-like words, anything else.
class ShellHighlighter {
public:
    struct Span {
        QString text;
        QColor color;
        bool operator==(const Span&) const = default;
    };

    static const QStringList& keywords();  // 40 command words
    static const QStringList& operators(); // "|", "||", "&&", ">", ">>", "<", "&", ";"

    static std::vector<QString> tokenize(const QString& source);
    // The theme's colours, read now.
    static QColor color(const QString& token, bool isFirstWord);
    // The tokens in order with their colours, and the blank between
    // neighbours as a span of its own.
    static std::vector<Span> attributed(const QString& source);
    // Fills `document` with the highlighted text in `font`.
    static void render(const QString& source, QTextDocument& document, const QFont& font, double lineSpacing);

    static QColor pathColor() { return QColor::fromRgbF(0.62f, 0.80f, 0.98f); }

    ShellHighlighter() = delete;
};

} // namespace vivirov
