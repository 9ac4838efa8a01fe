#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Support/UUID.h"

// The two stored records of the conversation database and the kind of a
// conversation. Ids are canonical upper-case UUID texts; times are seconds
// since 1970-01-01 00:00:00 UTC.
namespace vivirov {

enum class ConversationKind { chat, cowork, code };

inline constexpr ConversationKind allConversationKinds[] = {ConversationKind::chat, ConversationKind::cowork,
                                                            ConversationKind::code};
// "chat", "cowork", "code".
const char* conversationKindText(ConversationKind kind);
// Exactly the three texts (case-sensitive); none for anything else.
std::optional<ConversationKind> conversationKindFromText(std::string_view text);

using StoreTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

// One row of table "conversation".
struct Conversation {
    std::string id;
    std::string routeKind;
    std::string title;
    double createdAt = 0;

    Conversation() = default;
    Conversation(const UUID& uuid, ConversationKind kind, std::string title, double createdAt);

    // The kind read from routeKind; an unknown text counts as chat.
    ConversationKind kind() const;
    // The id as a UUID; an id that does not parse gives a new random UUID each time.
    UUID uuid() const;
    StoreTime created() const { return StoreTime(std::chrono::duration<double>(createdAt)); }
};

// One row of table "message". The embedding is a packed array of 32-bit
// floats in machine byte order.
struct Message {
    std::string id;
    std::string conversationId;
    std::string role;
    std::string content;
    std::optional<int64_t> tokenCount;
    std::optional<std::vector<uint8_t>> embedding;
    double createdAt = 0;

    Message() = default;
    Message(const UUID& uuid, const UUID& conversationID, std::string role, std::string content,
            std::optional<int64_t> tokenCount, std::optional<std::vector<uint8_t>> embedding, double createdAt);

    UUID uuid() const;
    StoreTime created() const { return StoreTime(std::chrono::duration<double>(createdAt)); }
};

} // namespace vivirov
