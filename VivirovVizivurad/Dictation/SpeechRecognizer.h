#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vivirov {

// Speech to text over streamed audio, 16 kHz mono 16-bit samples. Each
// result carries the whole text heard so far in the utterance, and whether
// the utterance has ended. Used from one thread at a time.
class SpeechRecognizer {
public:
    static constexpr int sampleRate = 16000;

    struct Result {
        std::string text;
        bool isFinal = false;
        bool operator==(const Result&) const = default;
    };

    virtual ~SpeechRecognizer() = default;
    // Starts a fresh utterance, forgetting anything heard before.
    virtual void begin() = 0;
    // A result when the text so far changed or the speaker stopped.
    virtual std::optional<Result> feed(std::span<const int16_t> samples) = 0;
    // The audio ended: the final text, when anything was heard.
    virtual std::optional<Result> finish() = 0;
};

} // namespace vivirov
