#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "VivirovKit/Support/Json.h"
#include "VivirovVizivurad/Store/ChatStore.h"
#include "tests/Store/StoreFixture.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {

namespace {
const char* const s1 = "11111111-1111-4111-8111-111111111111";
const char* const s2 = "22222222-2222-4222-8222-222222222222";

std::string archiveJson(const std::string& messageSession = s2, double firstTimestamp = 0) {
    return std::string(R"({"sessions":[{"id":")") + s1 + R"(","title":"First","createdDate":10.5,"extra":true},)" +
           R"({"id":")" + s2 + R"(","title":"Second","createdDate":20}],"messages":[)" +
           R"({"id":"AAAAAAAA-0000-4000-8000-000000000001","sessionID":")" + s1 +
           R"(","role":"user","content":"hi","timestamp":)" + std::to_string(firstTimestamp) + "}," +
           R"({"id":"AAAAAAAA-0000-4000-8000-000000000002","sessionID":")" + s1 +
           R"(","role":"assistant","content":"hello","timestamp":1.25},)" +
           R"({"id":"aaaaaaaa-0000-4000-8000-000000000003","sessionID":")" + messageSession +
           R"(","role":"system","content":"other","timestamp":2}]})";
}
} // namespace

using LegacyImport = StoreFixture;

TEST_F(LegacyImport, CopiesSessionsAndMessagesOnceWithDatesMovedToUnixTime) {
    std::string file = dir.write("chat-history.json", archiveJson());
    EXPECT_EQ(store->importLegacyJSONIfNeeded(file), 3);

    auto chats = store->conversations(ConversationKind::chat);
    ASSERT_EQ(chats.size(), 2u);
    EXPECT_EQ(chats[0].id, s2);
    EXPECT_EQ(chats[0].title, "Second");
    EXPECT_DOUBLE_EQ(chats[1].createdAt, 978307210.5);
    auto first = store->messages(*UUID::parse(s1));
    ASSERT_EQ(first.size(), 2u);
    EXPECT_DOUBLE_EQ(first[0].createdAt, 978307200.0);
    EXPECT_EQ(first[1].role, "assistant");
    EXPECT_FALSE(first[1].tokenCount);
    auto second = store->messages(*UUID::parse(s2));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].id, "AAAAAAAA-0000-4000-8000-000000000003"); // canonical upper case
    EXPECT_EQ(second[0].role, "system");                              // kept as archived

    // Once the database holds a conversation the file is never imported again.
    dir.write("chat-history.json", std::string(R"({"sessions":[{"id":"33333333-3333-4333-8333-333333333333",)") +
                                       R"("title":"Late","createdDate":1}],"messages":[]})");
    EXPECT_EQ(store->importLegacyJSONIfNeeded(file), 0);
    EXPECT_EQ(store->conversations(ConversationKind::chat).size(), 2u);
    EXPECT_EQ(TempDir::read(file).find("Late") != std::string::npos, true); // the file is left in place
}

TEST_F(LegacyImport, FailingImportLeavesTheDatabaseUnchanged) {
    std::string orphan = dir.write("orphan.json", archiveJson("99999999-9999-4999-8999-999999999999"));
    EXPECT_THROW(store->importLegacyJSONIfNeeded(orphan), store::SqliteError);
    EXPECT_TRUE(store->conversations(ConversationKind::chat).empty());
    EXPECT_EQ(store->messageCount(), 0);

    std::string repeated = archiveJson();
    repeated.replace(repeated.find("aaaaaaaa-0000-4000-8000-000000000003"), 36, "AAAAAAAA-0000-4000-8000-000000000001");
    EXPECT_THROW(store->importLegacyJSONIfNeeded(dir.write("repeat.json", repeated)), store::SqliteError);
    EXPECT_TRUE(store->conversations(ConversationKind::chat).empty());
    EXPECT_EQ(store->messageCount(), 0);
}

TEST_F(LegacyImport, UnreadableOrUndecodableFilesImportNothing) {
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {
        {"no-sessions", R"({"messages":[]})"},
        {"not-json", "{"},
        {"wrong-type", R"({"sessions":[{"id":"11111111-1111-4111-8111-111111111111","title":5,"createdDate":1}],"messages":[]})"},
        {"bad-uuid", R"({"sessions":[{"id":"nope","title":"t","createdDate":1}],"messages":[]})"},
        {"missing-key", R"({"sessions":[],"messages":[{"id":"11111111-1111-4111-8111-111111111111"}]})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(store->importLegacyJSONIfNeeded(dir.write(c.name, c.content)), 0) << c.name;
        EXPECT_FALSE(ChatArchive::decode(c.content)) << c.name;
    }
    EXPECT_EQ(store->importLegacyJSONIfNeeded(dir.file("missing.json")), 0);
    EXPECT_EQ(store->importLegacyJSONIfNeeded(dir.path()), 0); // a folder, not a file
    EXPECT_TRUE(store->conversations(ConversationKind::chat).empty());
}

TEST_F(LegacyImport, DefaultLocationIsTheDataFolder) {
    ::setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    dir.write("com.dudive.vivirov/chat-history.json", archiveJson());
    int imported = store->importLegacyJSONIfNeeded();
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(imported, 3);
}

TEST(ChatStore, SavesWholeArchiveAndReloadsIt) {
    TempDir dir;
    std::string url = dir.file("app/chat-history.json");
    UUID session = *UUID::parse(s1);
    {
        ChatStore store(url);
        EXPECT_TRUE(std::filesystem::is_directory(dir.file("app")));
        EXPECT_TRUE(store.archive.sessions.empty());
        store.archive.sessions.push_back({session, "kept", 5});
        store.archive.messages.push_back({UUID::random(), session, "user", "first", 1.5});
        store.save();
        store.archive.messages.push_back({UUID::random(), session, "assistant", "second \u00e9", 2.5});
        store.save(); // two quick saves: the file holds the second
    }
    auto json = json::parse(TempDir::read(url));
    ASSERT_TRUE(json);
    EXPECT_EQ((*json)["sessions"][0]["id"], s1);
    EXPECT_EQ((*json)["messages"][1]["timestamp"], 2.5);

    ChatStore reloaded(url);
    ASSERT_EQ(reloaded.archive.messages.size(), 2u);
    EXPECT_EQ(reloaded.archive.messages[1].content, "second \u00e9");
    EXPECT_EQ(reloaded.archive.messages[1].sessionID, session);
    EXPECT_EQ(reloaded.archive.sessions[0].title, "kept");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("app")), {}), 1); // no temporaries left
}

TEST(ChatStore, UndecodableFileIsMovedAsideNotOverwritten) {
    TempDir dir;
    std::string url = dir.write("chat-history.json", R"({"messages":[] , "precious": "history"})");
    {
        StderrCapture capture;
        {
            ChatStore store(url);
            EXPECT_TRUE(store.archive.messages.empty());
            store.archive.messages.push_back({UUID::random(), UUID::random(), "user", "new", 1});
            store.save();
            store.save();
        }
        EXPECT_NE(capture.text().find("chat-history.json could not be read; kept as " + url + ".corrupt-"),
                  std::string::npos);
        EXPECT_EQ(ChatStore(url).archive.messages.size(), 1u);
    }
    std::vector<std::string> aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind("chat-history.json.corrupt-", 0) == 0)
            aside.push_back(entry.path().string());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(TempDir::read(aside[0]), R"({"messages":[] , "precious": "history"})");
}

} // namespace vivirov::test
