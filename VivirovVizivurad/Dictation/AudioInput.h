#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vivirov {

// Microphone audio for dictation: 16 kHz mono 16-bit samples in blocks of
// 1024 frames. At most one consumer at a time ("tap").
class AudioInput {
public:
    static constexpr int blockFrames = 1024;
    using OnBlock = std::function<void(std::vector<int16_t>)>;

    virtual ~AudioInput() = default;
    // Whether there is an input with at least one channel.
    virtual bool hasInput() const = 0;
    // Starts delivering blocks to `onBlock` (on any thread); the reason it
    // could not start otherwise.
    virtual std::optional<std::string> start(OnBlock onBlock) = 0;
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
};

} // namespace vivirov
