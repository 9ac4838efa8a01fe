#include "VivirovVizivurad/Markdown/Segment.h"
#include "VivirovVizivurad/Markdown/TextTrim.h"

#include <QStringList>

namespace vivirov {

namespace {
constexpr qsizetype maxLanguageLength = 24;

} // namespace

std::vector<Segment> Segment::parse(const QString& text) {
    std::vector<Segment> out;
    const QStringList pieces = text.split(QStringLiteral("```"));
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const QString& piece = pieces[i];
        if (i % 2 == 1) {
            std::optional<QString> lang;
            QString code = piece;
            const qsizetype feed = piece.indexOf(u'\n');
            if (feed >= 0) {
                const QString first = trimSpacesAndTabs(QStringView(piece).first(feed)).toString();
                if (!first.isEmpty() && first.size() <= maxLanguageLength && !first.contains(u' ')) {
                    lang = first;
                    code = piece.sliced(feed + 1);
                }
            }
            if (code.endsWith(u'\n')) code.chop(1);
            out.push_back(Segment{int(out.size()), Kind::code, code, lang});
        } else if (!piece.trimmed().isEmpty()) {
            out.push_back(Segment{int(out.size()), Kind::prose, piece, std::nullopt});
        }
    }
    if (out.empty()) out.push_back(Segment{0, Kind::prose, text, std::nullopt});
    return out;
}

} // namespace vivirov
