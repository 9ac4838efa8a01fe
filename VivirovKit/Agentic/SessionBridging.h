#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vivirov {

// An in-process model session as the inference-transaction manager drives
// it. Every operation is synchronous and is called from the manager's
// running generation, one at a time.
class SessionBridging {
public:
    struct Decoded {
        std::string piece;
        // The generation is over; `piece` is then not used.
        bool finished = false;
    };

    virtual ~SessionBridging() = default;

    // True when the session started.
    virtual bool beginSession(const std::string& prompt, int32_t nCtx, float temperature, float topP,
                              uint32_t seed) = 0;
    // The next piece of generated text.
    virtual Decoded decodeNext() = 0;
    // Marks the current point of the generation; the id is valid for
    // rollback until releaseSnapshot.
    virtual int32_t takeSnapshot() = 0;
    virtual void rollback(int32_t toSnapshot) = 0;
    // Puts text into the model's context before its next piece.
    virtual void injectText(const std::string& text) = 0;
    virtual void releaseSnapshot() = 0;
    // One call per input image (RGB bytes); sessions without image input
    // need not implement it.
    virtual int32_t injectImage(const std::vector<uint8_t>& rgb, int32_t width, int32_t height) {
        (void)rgb;
        (void)width;
        (void)height;
        return -1;
    }
    virtual void endSession() = 0;
};

} // namespace vivirov
