#include "VivirovVizivurad/Store/ChatArchive.h"

#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Paths.h"

namespace vivirov {

namespace {
std::optional<UUID> uuidMember(const json::Value& object, const char* key) {
    auto text = json::stringMember(object, key);
    return text ? UUID::parse(*text) : std::nullopt;
}
} // namespace

std::optional<ChatArchive> ChatArchive::decode(std::string_view text) {
    auto root = json::parse(text);
    if (!root || !root->is_object()) return std::nullopt;
    const auto* sessions = json::arrayMember(*root, "sessions");
    const auto* messages = json::arrayMember(*root, "messages");
    if (!sessions || !messages) return std::nullopt;

    ChatArchive archive;
    for (const auto& item : *sessions) {
        if (!item.is_object()) return std::nullopt;
        auto id = uuidMember(item, "id");
        auto title = json::stringMember(item, "title");
        auto created = json::numberMember(item, "createdDate");
        if (!id || !title || !created) return std::nullopt;
        archive.sessions.push_back({*id, *title, *created});
    }
    for (const auto& item : *messages) {
        if (!item.is_object()) return std::nullopt;
        auto id = uuidMember(item, "id");
        auto session = uuidMember(item, "sessionID");
        auto role = json::stringMember(item, "role");
        auto content = json::stringMember(item, "content");
        auto timestamp = json::numberMember(item, "timestamp");
        if (!id || !session || !role || !content || !timestamp) return std::nullopt;
        archive.messages.push_back({*id, *session, *role, *content, *timestamp});
    }
    return archive;
}

std::string ChatArchive::encode() const {
    json::Value root = json::Value::object();
    root["sessions"] = json::Value::array();
    root["messages"] = json::Value::array();
    for (const auto& s : sessions)
        root["sessions"].push_back({{"id", s.id.string()}, {"title", s.title}, {"createdDate", s.createdDate}});
    for (const auto& m : messages)
        root["messages"].push_back({{"id", m.id.string()},
                                    {"sessionID", m.sessionID.string()},
                                    {"role", m.role},
                                    {"content", m.content},
                                    {"timestamp", m.timestamp}});
    return json::dump(root);
}

std::string chatArchivePath() { return paths::appData() + "/chat-history.json"; }

} // namespace vivirov
