#include "VivirovVizivurad/Dictation/PocketSphinxRecognizer.h"

#include <pocketsphinx.h>

#include <filesystem>

namespace vivirov {

std::string PocketSphinxRecognizer::defaultModelDir() { return VIVIROV_POCKETSPHINX_MODELDIR "/en-us"; }

std::unique_ptr<PocketSphinxRecognizer> PocketSphinxRecognizer::create(const std::string& modelDir,
                                                                       const std::string& jsgf) {
    namespace fs = std::filesystem;
    const std::string hmm = modelDir + "/en-us", lm = modelDir + "/en-us.lm.bin",
                      dict = modelDir + "/cmudict-en-us.dict";
    std::error_code error;
    if (!fs::is_directory(hmm, error) || !fs::is_regular_file(lm, error) || !fs::is_regular_file(dict, error))
        return nullptr;
    // The library logs every step to standard error unless told otherwise.
    cmd_ln_t* config = jsgf.empty() ? cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-dict", dict.c_str(),
                                                  "-lm", lm.c_str(), "-logfn", "/dev/null", nullptr)
                                    : cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-dict", dict.c_str(),
                                                  "-logfn", "/dev/null", nullptr);
    if (!config) return nullptr;
    ps_decoder_t* decoder = ps_init(config);
    if (!decoder) {
        cmd_ln_free_r(config);
        return nullptr;
    }
    if (!jsgf.empty() &&
        (ps_set_jsgf_string(decoder, "grammar", jsgf.c_str()) != 0 || ps_set_search(decoder, "grammar") != 0)) {
        ps_free(decoder);
        cmd_ln_free_r(config);
        return nullptr;
    }
    return std::unique_ptr<PocketSphinxRecognizer>(new PocketSphinxRecognizer(config, decoder));
}

PocketSphinxRecognizer::PocketSphinxRecognizer(cmd_ln_s* config, ps_decoder_s* decoder)
    : config_(config), decoder_(decoder) {}

PocketSphinxRecognizer::~PocketSphinxRecognizer() {
    if (inUtterance_) ps_end_utt(decoder_);
    ps_free(decoder_);
    cmd_ln_free_r(config_);
}

std::string PocketSphinxRecognizer::hypothesis() const {
    int32 score = 0;
    const char* text = ps_get_hyp(decoder_, &score);
    return text ? text : "";
}

void PocketSphinxRecognizer::begin() {
    if (inUtterance_) ps_end_utt(decoder_);
    inUtterance_ = ps_start_utt(decoder_) == 0;
    heardSpeech_ = false;
    lastText_.clear();
}

std::optional<SpeechRecognizer::Result> PocketSphinxRecognizer::feed(std::span<const int16_t> samples) {
    if (!inUtterance_ || samples.empty()) return std::nullopt;
    ps_process_raw(decoder_, samples.data(), samples.size(), FALSE, FALSE);
    const bool speaking = ps_get_in_speech(decoder_);
    if (speaking) heardSpeech_ = true;
    if (heardSpeech_ && !speaking) return finish(); // silence after speech ends the utterance
    const std::string text = hypothesis();
    if (text.empty() || text == lastText_) return std::nullopt;
    lastText_ = text;
    return Result{text, false};
}

std::optional<SpeechRecognizer::Result> PocketSphinxRecognizer::finish() {
    if (!inUtterance_) return std::nullopt;
    ps_end_utt(decoder_);
    inUtterance_ = false;
    const std::string text = hypothesis();
    if (text.empty() && !heardSpeech_) return std::nullopt;
    lastText_ = text;
    return Result{text, true};
}

} // namespace vivirov
