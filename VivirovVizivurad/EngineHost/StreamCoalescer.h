#pragma once
#include "VivirovKit/Support/UUID.h"

#include <mutex>
#include <optional>
#include <string>

namespace vivirov {

// The text buffer of one streaming assistant message. Producers append from
// any thread with their turn's epoch; a GUI-thread timer drains a few
// characters (grapheme clusters) at a time into the row named by `target`.
// Text of an earlier turn (another epoch) is dropped, so it never reaches the
// new turn's row. Every operation costs only what it moves: the buffer keeps
// a read offset instead of shifting its tail on each drain.
class StreamCoalescer final {
public:
    struct Drained {
        std::string text;
        std::optional<UUID> target;
    };

    // Empties the buffer and aims it at `target` for turn `epoch`.
    void begin(const UUID& target, int epoch);
    // Appends `text` when `epoch` is the current one; empty text is ignored.
    void append(std::string_view text, int epoch);
    // The first `maxChars` characters when the buffer holds more than that and
    // `maxChars` > 0; otherwise everything. The target is returned unchanged.
    Drained drain(int maxChars);
    // Everything left with its target (the end of a turn moves it in one step).
    Drained takeAll();
    // Empty buffer, no target, epoch 0.
    void reset();

    int epoch() const;
    std::optional<UUID> target() const;
    bool isEmpty() const;

private:
    std::string pendingLocked() const { return buffer_.substr(head_); }
    void compactLocked();

    mutable std::mutex mutex_;
    std::string buffer_;
    size_t head_ = 0; // bytes of buffer_ already drained
    std::optional<UUID> target_;
    int epoch_ = 0;
};

} // namespace vivirov
