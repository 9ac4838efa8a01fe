#pragma once
#include <QString>

#include "VivirovVizivurad/Store/ChatMessage.h"

namespace vivirov {

// Which renderer draws a transcript message, and the text it is given.
struct BubbleContent {
    enum class Renderer { toolRow, streaming, fileCitation, markdown };

    // The typing cursor after a streaming answer: a blank and U+258C.
    static inline const QString cursor = QStringLiteral(" \u258C");
    static constexpr int maxBubbleWidth = 672;
    static constexpr int oppositeGap = 70;

    Renderer renderer = Renderer::markdown;
    QString text; // the renderer's text ("…" for an empty settled answer)

    // A streaming flag on anything but an assistant row is ignored; any "/"
    // in a settled answer asks the file-citation view, which falls back to
    // Markdown when it links nothing.
    static BubbleContent of(const ChatMessage& message, bool streaming);
    static bool isUser(const ChatMessage& message) { return message.role == Role::user; }
};

} // namespace vivirov
