#include "VivirovVizivurad/Markdown/FMIncremental.h"
#include "VivirovVizivurad/Markdown/TextTrim.h"

namespace vivirov {

namespace {
bool isBlank(QStringView line) { return line.trimmed().isEmpty(); }


bool isClosingFence(QStringView prefix) {
    const QStringView trimmed = prefix.trimmed();
    if (trimmed.size() < 3) return false;
    for (QChar c : trimmed)
        if (c != u'`') return false;
    return true;
}
} // namespace

std::optional<QStringView> FMIncremental::fencePrefix(QStringView line) {
    qsizetype i = 0;
    while (i < line.size() && line[i] == u' ') {
        if (++i > 3) return std::nullopt;
    }
    const QStringView rest = line.sliced(i);
    if (rest.startsWith(u"```")) return rest;
    return std::nullopt;
}

std::optional<QString> FMIncremental::langOf(QStringView line) {
    const auto prefix = fencePrefix(line);
    if (!prefix) return std::nullopt;
    const QStringView afterTicks = prefix->trimmed().sliced(3);
    const QStringView lang = trimSpacesAndTabs(afterTicks);
    if (lang.isEmpty()) return std::nullopt;
    return lang.toString();
}

FMAdvance FMIncremental::advance(QStringView text, const FMIncrementalState& state) {
    const qsizetype length = text.size();
    qsizetype pos = std::min(length, std::max<qsizetype>(state.committedSrc, 0));
    qsizetype segStart = pos;
    bool inFence = state.inFence;
    std::optional<QString> lang = inFence ? state.fenceLang : std::nullopt;
    FMAdvance out;

    auto commit = [&](qsizetype from, qsizetype to, FMBlockKind kind) {
        out.commit.push_back(FMSegment{text.sliced(from, to - from).toString(), kind,
                                       kind == FMBlockKind::code ? lang : std::nullopt});
    };

    while (pos < length) {
        const qsizetype feed = text.indexOf(u'\n', pos);
        if (feed < 0) break;
        const qsizetype lineEnd = feed + 1;
        const QStringView line = text.sliced(pos, lineEnd - pos);
        const auto fence = fencePrefix(line);
        if (!inFence) {
            if (fence) {
                if (segStart < pos) commit(segStart, pos, FMBlockKind::prose);
                lang = langOf(line);
                inFence = true;
                segStart = pos = lineEnd;
            } else if (isBlank(line)) {
                commit(segStart, lineEnd, FMBlockKind::prose);
                segStart = pos = lineEnd;
            } else {
                pos = lineEnd;
            }
        } else if (fence && isClosingFence(*fence)) {
            if (segStart < pos) commit(segStart, pos, FMBlockKind::code);
            lang.reset();
            inFence = false;
            segStart = pos = lineEnd;
        } else {
            commit(segStart, lineEnd, FMBlockKind::code);
            segStart = pos = lineEnd;
        }
    }

    // Long prose is committed in chunks so the open tail stays short. A hard
    // cut never separates the two halves of a surrogate pair.
    while (!inFence && length - segStart > chunkLimit) {
        const qsizetype feed = text.sliced(segStart, chunkLimit).lastIndexOf(u'\n');
        qsizetype cut = feed >= 0 ? segStart + feed + 1 : segStart + chunkLimit;
        if (feed < 0 && text[cut - 1].isHighSurrogate() && text[cut].isLowSurrogate()) --cut;
        if (cut <= segStart) break;
        commit(segStart, cut, FMBlockKind::prose);
        segStart = cut;
    }

    out.open = FMSegment{text.sliced(segStart).toString(),
                         inFence ? FMBlockKind::code : FMBlockKind::prose,
                         inFence ? lang : std::nullopt};
    out.state = FMIncrementalState{segStart, inFence, inFence ? lang : std::nullopt};
    return out;
}

} // namespace vivirov
