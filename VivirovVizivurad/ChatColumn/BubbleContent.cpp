#include "VivirovVizivurad/ChatColumn/BubbleContent.h"

namespace vivirov {

BubbleContent BubbleContent::of(const ChatMessage& message, bool streaming) {
    const QString content = QString::fromStdString(message.content);
    if (message.role == Role::toolCall) return {Renderer::toolRow, {}};
    if (message.role == Role::assistant) {
        if (streaming) return {Renderer::streaming, content};
        if (content.contains(QLatin1Char('/'))) return {Renderer::fileCitation, content};
        if (content.isEmpty()) return {Renderer::markdown, QStringLiteral("\u2026")};
    }
    return {Renderer::markdown, content};
}

} // namespace vivirov
