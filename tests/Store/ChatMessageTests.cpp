#include <gtest/gtest.h>

#include "VivirovVizivurad/Store/ChatMessage.h"

namespace vivirov {

TEST(ChatMessage, RoleTextsDifferBetweenDatabaseAndArchive) {
    struct Case {
        Role role;
        const char* database;
        const char* archive;
    } cases[] = {
        {Role::user, "user", "user"},
        {Role::assistant, "assistant", "assistant"},
        {Role::toolCall, "tool", "assistant"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(databaseRoleText(c.role), c.database);
        EXPECT_STREQ(archiveRoleText(c.role), c.archive);
    }
}

} // namespace vivirov
