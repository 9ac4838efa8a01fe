#include "VivirovKit/Providers/ThinkStreamParser.h"

#include <array>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

// In search order: at equal positions the earlier row wins.
constexpr std::array<std::string_view, 4> kOpeningTags = {
    "<think>", "<thinking>", "\xE2\x97\x81think\xE2\x96\xB7", "<|think|>"};
constexpr std::array<std::string_view, 4> kClosingTags = {
    "</think>", "</thinking>", "\xE2\x97\x81/think\xE2\x96\xB7", "<|/think|>"};
constexpr std::string_view kLeftTriangle = "\xE2\x97\x81";

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// First position of `needle` in `hay`, ASCII letters compared without case
// (the tags' other characters have no case).
size_t findIgnoringCase(std::string_view hay, std::string_view needle) {
    if (needle.size() > hay.size()) return std::string_view::npos;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && asciiLower(hay[i + k]) == needle[k]) ++k;
        if (k == needle.size()) return i;
    }
    return std::string_view::npos;
}

struct TagMatch {
    size_t begin = std::string_view::npos;
    size_t end = 0;
};

TagMatch earliestTag(std::string_view text, const std::array<std::string_view, 4>& tags) {
    TagMatch best;
    for (auto tag : tags) {
        size_t at = findIgnoringCase(text, tag);
        if (at < best.begin) best = {at, at + tag.size()};
    }
    return best;
}

// Plain ASCII without CR has one character per byte ("\r\n" is a single
// character), so the common case needs no grapheme segmentation.
bool simpleASCII(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80 || c == '\r') return false;
    return true;
}

// Byte offset where the last `n` characters begin; none when the text holds
// `n` characters or fewer. Walks back from the end, so the cost does not grow
// with the text.
std::optional<size_t> lastCharactersStart(std::string_view s, size_t n) {
    if (simpleASCII(s)) return s.size() > n ? std::optional<size_t>(s.size() - n) : std::nullopt;
    thread_local std::unique_ptr<icu::BreakIterator> iterator;
    UErrorCode status = U_ZERO_ERROR;
    if (!iterator) {
        iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) iterator.reset();
    }
    if (!iterator) { // no segmentation available: fall back to the forward count
        size_t count = text::graphemeCount(s);
        if (count <= n) return std::nullopt;
        return text::graphemeByteOffset(s, count - n);
    }
    status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, s.data(), int64_t(s.size()), &status);
    std::optional<size_t> start;
    if (U_SUCCESS(status)) {
        iterator->setText(ut, status);
        int32_t at = iterator->last();
        size_t steps = 0;
        while (steps < n && at != icu::BreakIterator::DONE && at > 0) {
            at = iterator->previous();
            ++steps;
        }
        if (steps == n && at > 0) start = size_t(at);
    }
    UErrorCode reset = U_ZERO_ERROR;
    UText* empty = utext_openUTF8(nullptr, "", 0, &reset);
    iterator->setText(empty, reset);
    utext_close(empty);
    utext_close(ut);
    return start;
}

bool thinkingFromEnvironment() {
    auto value = env::string("VIVIROV_THINKING");
    if (!value) return false;
    if (*value == "1") return true;
    std::string lower = text::lowercased(*value);
    return lower == "true" || lower == "yes";
}

} // namespace

ThinkStreamParser::ThinkStreamParser(std::optional<bool> surfaceReasoning)
    : surfaceReasoning_(surfaceReasoning ? *surfaceReasoning : thinkingFromEnvironment()) {}

void ThinkStreamParser::emitReasoning(std::string text, std::vector<Piece>& out) {
    if (text.empty()) return;
    reasoningBuffer_ += text;
    if (surfaceReasoning_) out.push_back(Piece::reasoning(std::move(text)));
}

void ThinkStreamParser::emitAnswer(std::string text, std::vector<Piece>& out) {
    if (text.empty()) return;
    answerBuffer_ += text;
    out.push_back(Piece::answer(std::move(text)));
}

std::vector<ThinkStreamParser::Piece> ThinkStreamParser::feed(std::string_view text, bool isReasoningField) {
    std::vector<Piece> out;
    if (text.empty()) return out;
    if (isReasoningField) {
        // A separate reasoning field is reasoning whole; tags in it mean nothing.
        emitReasoning(std::string(text), out);
        return out;
    }
    pending_.append(text);
    while (!pending_.empty()) {
        TagMatch tag = earliestTag(pending_, insideThink_ ? kClosingTags : kOpeningTags);
        if (tag.begin != std::string_view::npos) {
            std::string before = pending_.substr(0, tag.begin);
            if (insideThink_) emitReasoning(std::move(before), out);
            else emitAnswer(std::move(before), out);
            insideThink_ = !insideThink_;
            pending_.erase(0, tag.end);
            continue;
        }
        auto heldFrom = lastCharactersStart(pending_, kHoldBack);
        if (!heldFrom) break;
        size_t tailStart = *heldFrom;
        if (insideThink_) {
            emitReasoning(pending_.substr(0, tailStart), out);
            pending_.erase(0, tailStart);
            break;
        }
        // A tag's beginning can only sit in the tail: cut at its first "<",
        // else its first "◁", else at the tail's start.
        std::string_view tail = std::string_view(pending_).substr(tailStart);
        size_t cut = tail.find('<');
        if (cut == std::string_view::npos) cut = tail.find(kLeftTriangle);
        if (cut == std::string_view::npos) cut = 0;
        cut += tailStart;
        emitAnswer(pending_.substr(0, cut), out);
        pending_.erase(0, cut);
        break;
    }
    return out;
}

std::vector<ThinkStreamParser::Piece> ThinkStreamParser::flush() {
    std::vector<Piece> out;
    if (!pending_.empty()) {
        std::string rest = std::move(pending_);
        pending_.clear();
        if (insideThink_) emitReasoning(std::move(rest), out);
        else emitAnswer(std::move(rest), out);
    }
    insideThink_ = false;
    return out;
}

} // namespace vivirov
