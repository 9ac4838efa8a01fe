#include "VivirovKit/Agentic/ArtifactEngine.h"

#include <algorithm>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

constexpr std::string_view kFence = "```";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Calls `visit` on each non-empty line (split at line feeds) in order, until
// it returns true.
template <typename Visit>
void forEachNonEmptyLine(std::string_view text, Visit visit) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start && visit(text.substr(start, end - start))) return;
        start = end + 1;
    }
}

// Whether the text is only white space; stops at the first other character,
// so a long block costs nothing here.
bool isAllWhiteSpace(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int64_t>(text.size());
    for (int64_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0 || !u_isUWhiteSpace(c)) return false;
    }
    return true;
}

UChar32 firstCodePoint(std::string_view s) {
    if (s.empty()) return U_SENTINEL;
    int32_t i = 0;
    UChar32 c;
    const auto length = static_cast<int32_t>(std::min<size_t>(s.size(), 4)); // one sequence
    U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, length, c);
    return c;
}

bool isIdentifierCharacter(UChar32 c) {
    if (c < 0) return false;
    return c == '_' || (U_GET_GC_MASK(c) & U_GC_L_MASK) != 0 ||
           u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

// The leading run of characters (grapheme clusters) that are letters,
// numbers or "_", judged by each cluster's first code point.
std::string_view leadingIdentifier(std::string_view text) {
    if (text.empty() || static_cast<int64_t>(text.size()) > INT32_MAX) return {};
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) {
        utext_close(ut);
        return {};
    }
    it->setText(ut, status);
    size_t end = 0;
    for (int32_t start = it->first(), next = it->next(); next != icu::BreakIterator::DONE;
         start = next, next = it->next()) {
        if (!isIdentifierCharacter(firstCodePoint(text.substr(static_cast<size_t>(start)))))
            break;
        end = static_cast<size_t>(next);
    }
    it.reset();
    utext_close(ut);
    return text.substr(0, end);
}

} // namespace

const char* rawValue(ArtifactKind kind) {
    switch (kind) {
    case ArtifactKind::react: return "react";
    case ArtifactKind::html: return "html";
    case ArtifactKind::svg: return "svg";
    case ArtifactKind::mermaid: return "mermaid";
    case ArtifactKind::markdown: return "markdown";
    }
    return "";
}

std::optional<ArtifactKind> artifactKindFromRaw(std::string_view raw) {
    for (ArtifactKind kind : {ArtifactKind::react, ArtifactKind::html, ArtifactKind::svg,
                              ArtifactKind::mermaid, ArtifactKind::markdown}) {
        if (raw == rawValue(kind)) return kind;
    }
    return std::nullopt;
}

const char* displayName(ArtifactKind kind) {
    switch (kind) {
    case ArtifactKind::react: return "React";
    case ArtifactKind::html: return "HTML";
    case ArtifactKind::svg: return "SVG";
    case ArtifactKind::mermaid: return "Diagram";
    case ArtifactKind::markdown: return "Document";
    }
    return "";
}

std::optional<ArtifactKind> artifactKindFromTag(std::string_view tag) {
    // No tag of more than 32 bytes lower-cases to a name of at most eight
    // characters; spares lower-casing a whole block that has no line feed yet.
    if (tag.size() > 32) return std::nullopt;
    const std::string t = text::lowercased(tag);
    if (t == "react" || t == "jsx" || t == "tsx") return ArtifactKind::react;
    if (t == "html" || t == "htm") return ArtifactKind::html;
    if (t == "svg") return ArtifactKind::svg;
    if (t == "mermaid") return ArtifactKind::mermaid;
    if (t == "markdown" || t == "md") return ArtifactKind::markdown;
    return std::nullopt;
}

std::vector<Artifact> ArtifactEngine::extract(std::string_view text) {
    std::vector<Artifact> result;
    // Pieces between fences alternate prose / block / prose ...; only the
    // block pieces (odd positions) are examined. An odd number of fences
    // leaves the last block open: it runs to the end of the text.
    size_t pieceStart = text.find(kFence);
    if (pieceStart == std::string_view::npos) return result;
    pieceStart += kFence.size();
    while (true) {
        const size_t fence = text.find(kFence, pieceStart);
        const size_t pieceEnd = fence == std::string_view::npos ? text.size() : fence;
        const std::string_view piece = text.substr(pieceStart, pieceEnd - pieceStart);

        const size_t lf = piece.find('\n');
        const std::string_view info = trimBlanks(piece.substr(0, lf));
        const std::string_view body =
            lf == std::string_view::npos ? std::string_view() : piece.substr(lf + 1);
        if (const auto kind = artifactKindFromTag(info)) {
            if (!isAllWhiteSpace(body)) {
                result.push_back(Artifact{UUID::random(), *kind, title(*kind, body),
                                          std::string(body), false});
            }
        }

        if (fence == std::string_view::npos) break;
        // Skip the prose piece that follows the closing fence.
        const size_t nextOpen = text.find(kFence, fence + kFence.size());
        if (nextOpen == std::string_view::npos) break;
        pieceStart = nextOpen + kFence.size();
    }
    return result;
}

std::optional<Artifact> ArtifactEngine::current(std::string_view text, bool isStreaming) {
    std::vector<Artifact> all = extract(text);
    if (all.empty()) return std::nullopt;
    Artifact last = std::move(all.back());
    last.isStreaming = isStreaming;
    return last;
}

std::string ArtifactEngine::title(ArtifactKind kind, std::string_view code) {
    if (kind == ArtifactKind::react) {
        if (auto name = firstIdentifier({"function ", "const ", "class "}, code)) return *name;
    }
    if (kind == ArtifactKind::markdown) {
        std::optional<std::string> heading;
        forEachNonEmptyLine(code, [&](std::string_view line) {
            line = trimBlanks(line);
            if (text::startsWith(line, "# ")) heading = std::string(trimBlanks(line.substr(2)));
            return heading.has_value();
        });
        if (heading) return *heading;
    }
    if (kind == ArtifactKind::html) {
        if (auto inner = between(code, "<title>", "</title>")) return *inner;
    }
    // Only the first line that is not empty after trimming counts.
    std::optional<std::string> fromFirstLine;
    forEachNonEmptyLine(code, [&](std::string_view line) {
        line = trimBlanks(line);
        if (line.empty()) return false;
        if (text::startsWith(line, "//")) {
            if (text::graphemeCount(line) > 2) fromFirstLine = std::string(trimBlanks(line.substr(2)));
        } else if (text::startsWith(line, "<!--")) {
            fromFirstLine = between(line, "<!--", "-->");
        }
        return true;
    });
    if (fromFirstLine) return *fromFirstLine;
    return displayName(kind);
}

std::optional<std::string> ArtifactEngine::between(std::string_view text, std::string_view open,
                                                   std::string_view close) {
    const size_t start = text.find(open);
    if (start == std::string_view::npos) return std::nullopt;
    const size_t from = start + open.size();
    const size_t end = text.find(close, from);
    if (end == std::string_view::npos) return std::nullopt;
    std::string inner = text::trimmed(text.substr(from, end - from));
    if (inner.empty()) return std::nullopt;
    return inner;
}

std::optional<std::string> ArtifactEngine::firstIdentifier(
    const std::vector<std::string_view>& keywords, std::string_view text) {
    for (std::string_view keyword : keywords) {
        const size_t at = text.find(keyword);
        if (at == std::string_view::npos) continue;
        const std::string_view name = leadingIdentifier(text.substr(at + keyword.size()));
        if (!name.empty() && u_isUUppercase(firstCodePoint(name)) && text::graphemeCount(name) > 1)
            return std::string(name);
    }
    return std::nullopt;
}

} // namespace vivirov
