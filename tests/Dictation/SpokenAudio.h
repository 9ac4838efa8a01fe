#pragma once
// Speech made by espeak-ng, turned into the 16 kHz mono samples dictation
// hears, and an audio input that plays such samples from a thread as a
// microphone would.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "VivirovKit/Support/ProcessRunner.h"
#include "VivirovVizivurad/Dictation/AudioInput.h"

namespace vivirov::test {

// 16-bit mono PCM out of a WAV file's bytes, with its sample rate.
inline std::vector<int16_t> wavSamples(const std::string& wav, int& rate) {
    rate = 0;
    std::vector<int16_t> out;
    size_t at = 12;
    while (at + 8 <= wav.size()) {
        uint32_t size = 0;
        std::memcpy(&size, wav.data() + at + 4, 4);
        const std::string id = wav.substr(at, 4);
        if (id == "fmt " && at + 16 <= wav.size()) std::memcpy(&rate, wav.data() + at + 12, 4);
        if (id == "data") {
            // espeak-ng leaves the size open when it writes to a pipe.
            const size_t bytes = std::min<size_t>(size, wav.size() - at - 8);
            out.resize(bytes / 2);
            std::memcpy(out.data(), wav.data() + at + 8, out.size() * 2);
            return out;
        }
        at += 8 + size + (size & 1);
    }
    return out;
}

// Linear resampling to 16 kHz.
inline std::vector<int16_t> to16k(const std::vector<int16_t>& in, int rate) {
    if (rate <= 0 || rate == 16000 || in.empty()) return in;
    const size_t n = in.size() * 16000 / size_t(rate);
    std::vector<int16_t> out(n);
    for (size_t i = 0; i < n; ++i) {
        const double position = double(i) * rate / 16000;
        const size_t left = size_t(position);
        const size_t right = std::min(left + 1, in.size() - 1);
        const double f = position - double(left);
        out[i] = int16_t(in[left] * (1 - f) + in[right] * f);
    }
    return out;
}

// `text` spoken by espeak-ng, at 16 kHz, between half a second of silence
// before and `trailingSeconds` after. Empty when espeak-ng is missing.
inline std::vector<int16_t> spoken(const std::string& text, double trailingSeconds = 1.5) {
    ProcessRequest request;
    request.program = "/usr/bin/espeak-ng";
    request.arguments = {"--stdout", "-s", "140", text};
    const ProcessRunResult result = ProcessRunner::run(request);
    if (!result.started || result.exitStatus != 0) return {};
    int rate = 0;
    const std::vector<int16_t> raw = wavSamples(result.stdoutData, rate);
    const std::vector<int16_t> speech = to16k(raw, rate);
    if (speech.empty()) return {};
    std::vector<int16_t> out(8000, 0);
    out.insert(out.end(), speech.begin(), speech.end());
    out.resize(out.size() + size_t(trailingSeconds * 16000), 0);
    return out;
}

// Plays samples in 1024-frame blocks from its own thread, as fast as the
// consumer takes them, and then stops.
class SampleAudioInput final : public AudioInput {
public:
    explicit SampleAudioInput(std::vector<int16_t> samples) : samples_(std::move(samples)) {}
    ~SampleAudioInput() override { stop(); }
    bool hasInput() const override { return true; }
    std::optional<std::string> start(OnBlock onBlock) override {
        stop();
        running_ = true;
        player_ = std::jthread([this, onBlock = std::move(onBlock)](std::stop_token stop) {
            for (size_t at = 0; at < samples_.size() && !stop.stop_requested(); at += blockFrames) {
                const size_t end = std::min(samples_.size(), at + blockFrames);
                onBlock(std::vector<int16_t>(samples_.begin() + at, samples_.begin() + end));
            }
        });
        return std::nullopt;
    }
    void stop() override {
        running_ = false;
        if (player_.joinable()) {
            player_.request_stop();
            if (player_.get_id() != std::this_thread::get_id()) player_.join();
        }
    }
    bool isRunning() const override { return running_; }

private:
    std::vector<int16_t> samples_;
    std::atomic<bool> running_ = false;
    std::jthread player_;
};

} // namespace vivirov::test
