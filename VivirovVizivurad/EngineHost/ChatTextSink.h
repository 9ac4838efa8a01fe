#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "VivirovKit/Providers/UTF8StreamAssembler.h"

namespace vivirov {

// Collects the pieces of one blocking chat generation on the generating
// thread. The engine hands out the bytes of one token at a time, and a
// character may span two tokens: its bytes are carried to the next piece, so
// onPiece and the text only ever see whole characters.
class ChatTextSink {
public:
    using OnPiece = std::function<void(const std::string&)>;
    explicit ChatTextSink(OnPiece onPiece) : onPiece_(std::move(onPiece)) {}

    // The engine's chat callback; `user` is the sink.
    static void piece(const char* bytes, int32_t len, void* user);
    // Delivers what the last piece left unfinished, as U+FFFD.
    void finish();
    // The text so far; any thread.
    std::string text() const;

private:
    void add(const std::string& piece);

    OnPiece onPiece_;
    UTF8StreamAssembler assembler_; // the generating thread only
    mutable std::mutex lock_;
    std::string text_;
};

} // namespace vivirov
