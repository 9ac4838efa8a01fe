#pragma once
// Separates a model's reasoning from its answer while the text streams in.
// Text between an opening and a closing think tag (<think>, <thinking>,
// ◁think▷, <|think|> and their closers; any opener pairs with any closer,
// matched without regard to case) is reasoning, as is text from a separate
// reasoning field; everything else is answer. A short tail is held back so a
// tag split across pieces is still recognised and never emitted in part.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vivirov {

class ThinkStreamParser {
public:
    struct Piece {
        enum class Kind { answer, reasoning };
        Kind kind;
        std::string text;
        static Piece answer(std::string t) { return {Kind::answer, std::move(t)}; }
        static Piece reasoning(std::string t) { return {Kind::reasoning, std::move(t)}; }
        bool operator==(const Piece&) const = default;
    };

    // Characters (grapheme clusters) held back between pieces.
    static constexpr size_t kHoldBack = 16;

    // With no value, VIVIROV_THINKING decides: "1", "true" or "yes" (any case)
    // surface reasoning as pieces; anything else only collects it.
    explicit ThinkStreamParser(std::optional<bool> surfaceReasoning = std::nullopt);

    std::vector<Piece> feed(std::string_view text, bool isReasoningField);
    // Releases what is held back (at most one piece); ends outside any tag.
    std::vector<Piece> flush();

    const std::string& reasoning() const { return reasoningBuffer_; }
    const std::string& answer() const { return answerBuffer_; }
    bool insideThink() const { return insideThink_; }
    bool surfaceReasoning() const { return surfaceReasoning_; }

private:
    void emitReasoning(std::string text, std::vector<Piece>& out);
    void emitAnswer(std::string text, std::vector<Piece>& out);

    std::string reasoningBuffer_;
    std::string answerBuffer_;
    bool insideThink_ = false;
    bool surfaceReasoning_ = false;
    std::string pending_;
};

} // namespace vivirov
