#pragma once
#include <optional>
#include <string>

#include "VivirovKit/Support/UUID.h"

// The chat transcript as the views and the chat controller hold it in memory.
namespace vivirov {

// Who speaks in a transcript row. It has no text of its own: the database
// and the legacy archive spell it differently (see the two functions below).
enum class Role { user, assistant, toolCall };

// "user", "assistant", "tool": the text of message.role in the database.
const char* databaseRoleText(Role role);
// "user" or "assistant": the legacy archive has no tool role, so tool rows
// are archived as assistant rows.
const char* archiveRoleText(Role role);

struct ChatMessage {
    UUID id;
    Role role = Role::user;
    std::string content;
    std::optional<std::string> toolName;
    std::optional<std::string> toolArgsPreview;
    std::optional<std::string> toolResult;
    bool toolExecuting = false;
};

// A text or code file waiting in the composer.
struct Attachment {
    UUID id;
    std::string name;
    std::string content;
};

// One recent session of the sidebar: a chat conversation's id and title.
struct ChatSessionRef {
    UUID id;
    std::string title;
    bool operator==(const ChatSessionRef&) const = default;
};

} // namespace vivirov
