#include "VivirovVizivurad/Store/ChatMessage.h"

namespace vivirov {

const char* databaseRoleText(Role role) {
    switch (role) {
    case Role::user: return "user";
    case Role::assistant: return "assistant";
    case Role::toolCall: return "tool";
    }
    return "assistant";
}

const char* archiveRoleText(Role role) { return role == Role::user ? "user" : "assistant"; }

} // namespace vivirov
