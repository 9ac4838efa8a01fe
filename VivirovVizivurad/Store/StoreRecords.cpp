#include "VivirovVizivurad/Store/StoreRecords.h"

namespace vivirov {

const char* conversationKindText(ConversationKind kind) {
    switch (kind) {
    case ConversationKind::chat: return "chat";
    case ConversationKind::cowork: return "cowork";
    case ConversationKind::code: return "code";
    }
    return "chat";
}

std::optional<ConversationKind> conversationKindFromText(std::string_view text) {
    for (auto kind : allConversationKinds)
        if (text == conversationKindText(kind)) return kind;
    return std::nullopt;
}

namespace {
UUID uuidOrRandom(const std::string& text) {
    auto parsed = UUID::parse(text);
    return parsed ? *parsed : UUID::random();
}
} // namespace

Conversation::Conversation(const UUID& uuid, ConversationKind kind, std::string title, double createdAt)
    : id(uuid.string()), routeKind(conversationKindText(kind)), title(std::move(title)), createdAt(createdAt) {}

ConversationKind Conversation::kind() const {
    return conversationKindFromText(routeKind).value_or(ConversationKind::chat);
}

UUID Conversation::uuid() const { return uuidOrRandom(id); }

Message::Message(const UUID& uuid, const UUID& conversationID, std::string role, std::string content,
                 std::optional<int64_t> tokenCount, std::optional<std::vector<uint8_t>> embedding, double createdAt)
    : id(uuid.string()), conversationId(conversationID.string()), role(std::move(role)), content(std::move(content)),
      tokenCount(tokenCount), embedding(std::move(embedding)), createdAt(createdAt) {}

UUID Message::uuid() const { return uuidOrRandom(id); }

} // namespace vivirov
