#pragma once
#include <QWidget>

#include "VivirovVizivurad/ChatColumn/BubbleContent.h"
#include "VivirovVizivurad/Store/ChatMessage.h"

class QHBoxLayout;
class QVBoxLayout;

namespace vivirov {

struct FastMarkdownInput;

// One transcript message: a tool row for a tool call, else a bubble that
// hugs the right edge (user) or the left edge (assistant) and keeps at
// least 70 points from the other. The renderer follows the inputs: the
// streaming renderer with a typing cursor while the answer grows, the
// file-citation or Markdown view once it has settled.
class MessageBubble : public QWidget {
    Q_OBJECT
public:
    MessageBubble(const ChatMessage& message, bool streaming, QWidget* parent = nullptr);

    // New inputs for the same row: the renderer is updated in place when it
    // stays the same kind, replaced otherwise.
    void setInputs(const ChatMessage& message, bool streaming);

    BubbleContent::Renderer renderer() const { return content_.renderer; }
    bool isUser() const { return role_ == Role::user; }
    // The renderer's widget, and the rounded frame around it (none for a tool row).
    QWidget* contentWidget() const { return renderWidget_; }
    QWidget* bubbleFrame() const { return frame_; }

private:
    void build(const ChatMessage& message);
    FastMarkdownInput streamingInput() const;
    QWidget* makeRenderer(const ChatMessage& message, QWidget* parent);

    Role role_;
    BubbleContent content_;
    QHBoxLayout* row_;
    QWidget* frame_ = nullptr;
    QVBoxLayout* frameLayout_ = nullptr;
    QWidget* renderWidget_ = nullptr;
};

} // namespace vivirov
