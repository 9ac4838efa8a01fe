#include "VivirovVizivurad/EngineHost/ChatTextSink.h"

namespace vivirov {

void ChatTextSink::piece(const char* bytes, int32_t len, void* user) {
    auto* sink = static_cast<ChatTextSink*>(user);
    if (sink == nullptr || bytes == nullptr || len <= 0) return;
    sink->add(sink->assembler_.consume(reinterpret_cast<const uint8_t*>(bytes), len));
}

void ChatTextSink::finish() { add(assembler_.flush()); }

std::string ChatTextSink::text() const {
    std::lock_guard guard(lock_);
    return text_;
}

void ChatTextSink::add(const std::string& piece) {
    if (piece.empty()) return;
    {
        std::lock_guard guard(lock_);
        text_ += piece;
    }
    if (onPiece_) onPiece_(piece);
}

} // namespace vivirov
