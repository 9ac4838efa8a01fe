#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Support/UUID.h"

// The legacy chat archive "chat-history.json": one JSON object with the
// arrays "sessions" and "messages". Dates are seconds since
// 2001-01-01 00:00:00 UTC (not 1970).
namespace vivirov {

// Seconds from 1970-01-01 to 2001-01-01.
inline constexpr double archiveEpochOffset = 978307200.0;

struct StoredChatSession {
    UUID id;
    std::string title;
    double createdDate = 0; // seconds since 2001
};

struct StoredChatMessage {
    UUID id;
    UUID sessionID;
    std::string role;
    std::string content;
    double timestamp = 0; // seconds since 2001
};

struct ChatArchive {
    std::vector<StoredChatSession> sessions;
    std::vector<StoredChatMessage> messages;

    // None when the text is not an archive: every key is required with its
    // type, and every UUID must parse; unknown keys are ignored.
    static std::optional<ChatArchive> decode(std::string_view json);
    // Compact JSON, UUIDs in upper case.
    std::string encode() const;
};

// The file's location: <data>/com.dudive.vivirov/chat-history.json.
std::string chatArchivePath();

} // namespace vivirov
