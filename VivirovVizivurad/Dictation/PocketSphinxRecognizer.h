#pragma once
#include <memory>
#include <string>

#include "VivirovVizivurad/Dictation/SpeechRecognizer.h"

struct ps_decoder_s;
struct cmd_ln_s;

namespace vivirov {

// US English recognition on this machine with PocketSphinx, decoding
// continuously: its hypothesis so far is each partial result, and the end
// of speech (silence after it) or of the audio gives the final one.
class PocketSphinxRecognizer final : public SpeechRecognizer {
public:
    // The installed US English model's folder.
    static std::string defaultModelDir();
    // None when the model files are missing or do not load. `jsgf`, when
    // given, is a grammar that limits what can be heard.
    static std::unique_ptr<PocketSphinxRecognizer> create(const std::string& modelDir = defaultModelDir(),
                                                          const std::string& jsgf = {});
    ~PocketSphinxRecognizer() override;

    void begin() override;
    std::optional<Result> feed(std::span<const int16_t> samples) override;
    std::optional<Result> finish() override;

private:
    PocketSphinxRecognizer(cmd_ln_s* config, ps_decoder_s* decoder);
    std::string hypothesis() const;

    cmd_ln_s* config_;
    ps_decoder_s* decoder_;
    bool inUtterance_ = false;
    bool heardSpeech_ = false;
    std::string lastText_;
};

} // namespace vivirov
