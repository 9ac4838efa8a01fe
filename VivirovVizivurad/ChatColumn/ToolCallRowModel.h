#pragma once
#include <QString>

#include <optional>
#include <string>

#include "VivirovVizivurad/Store/ChatMessage.h"

namespace vivirov {

// What a tool-call row shows, from the tool-call message alone.
struct ToolCallRowModel {
    enum class Trailing { none, spinner, check };

    QString toolName;
    QString argsPreview;
    std::optional<QString> result;
    bool isExecuting = false;

    static ToolCallRowModel of(const ChatMessage& message);

    // "context_summary" exactly: shown as a context notice.
    bool isContext() const;
    QString title() const;
    QString symbol() const;
    Trailing trailing() const;
    // A result that is present and not empty can be expanded.
    bool hasToggle() const;
    // The result on one line: line feeds as blanks, at most 100 characters
    // (grapheme clusters), then "…".
    QString preview() const;

    // The symbol for a tool name, by ordered substring rules on its lower case.
    static QString icon(const QString& toolName);
    static QString preview(const QString& result);
    static constexpr int previewLimit = 100;
};

} // namespace vivirov
