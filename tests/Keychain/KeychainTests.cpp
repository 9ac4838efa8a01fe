#include <gtest/gtest.h>

#include <libsecret/secret.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "VivirovKit/Support/UUID.h"
#include "VivirovVizivurad/Platform/Keychain.h"
#include "tests/support/SecretServiceProbe.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

extern char** environ;

using vivirov::Keychain;

namespace {

std::string uniqueAccount(const char* base) { return std::string(base) + "-" + vivirov::UUID::random().string(); }

} // namespace

class KeychainStore : public ::testing::Test {
protected:
    void SetUp() override {
        if (!vivirov::test::secretServiceAnswers()) GTEST_SKIP() << "no Secret Service on this bus (run through make test)";
    }
};

TEST_F(KeychainStore, ReadSaveReplaceDeleteRoundTrip) {
    const std::string account = uniqueAccount("OpenAI");
    EXPECT_EQ(Keychain::read(account), std::nullopt);
    EXPECT_TRUE(Keychain::remove(account)); // nothing to delete is success

    ASSERT_TRUE(Keychain::save(account, ""));
    EXPECT_EQ(Keychain::read(account), std::optional<std::string>(""));

    const std::string unicode = "cl\xC3\xA9-\xF0\x9F\x94\x91-key";
    ASSERT_TRUE(Keychain::save(account, "first"));
    ASSERT_TRUE(Keychain::save(account, unicode));
    EXPECT_EQ(Keychain::read(account), unicode);

    // Exactly one item remains for the account after two saves.
    GError* error = nullptr;
    GHashTable* attrs = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attrs, (gpointer) "service", (gpointer) Keychain::service);
    g_hash_table_insert(attrs, (gpointer) "account", (gpointer) account.c_str());
    GList* items = secret_service_search_sync(nullptr, nullptr, attrs, SECRET_SEARCH_ALL, nullptr, &error);
    EXPECT_EQ(g_list_length(items), 1u);
    g_list_free_full(items, g_object_unref);
    g_hash_table_unref(attrs);

    EXPECT_TRUE(Keychain::remove(account));
    EXPECT_EQ(Keychain::read(account), std::nullopt);
}

TEST_F(KeychainStore, OtherServicesWithTheSameAccountAreUntouched) {
    const std::string account = uniqueAccount("Gemini");
    static const SecretSchema other = {"org.example.other", SECRET_SCHEMA_DONT_MATCH_NAME,
        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
         {nullptr, SecretSchemaAttributeType(0)}}, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    ASSERT_TRUE(secret_password_store_sync(&other, SECRET_COLLECTION_DEFAULT, "other", "theirs", nullptr, nullptr,
                                           "service", "org.example.other", "account", account.c_str(), nullptr));
    EXPECT_EQ(Keychain::read(account), std::nullopt);
    ASSERT_TRUE(Keychain::save(account, "ours"));
    EXPECT_TRUE(Keychain::remove(account));
    gchar* theirs = secret_password_lookup_sync(&other, nullptr, nullptr, "service", "org.example.other",
                                                "account", account.c_str(), nullptr);
    ASSERT_NE(theirs, nullptr);
    EXPECT_STREQ(theirs, "theirs");
    secret_password_free(theirs);
    secret_password_clear_sync(&other, nullptr, nullptr, "service", "org.example.other", "account",
                               account.c_str(), nullptr);
}

// Without a Secret Service the calls fail promptly as values. libsecret keeps
// its bus connection for the process, so these cases run in a child process
// with its own bus address; the parent checks the child's verdict.
TEST(KeychainWithoutService, ChildProcessCheck) {
    const char* mode = std::getenv("VIVIROV_KEYCHAIN_CHILD");
    if (!mode) GTEST_SKIP() << "runs only as a child of the tests below";
    vivirov::test::StderrCapture capture;
    EXPECT_EQ(Keychain::read("Anthropic"), std::nullopt);
    if (std::string(mode) == "nobus") {
        EXPECT_FALSE(Keychain::save("Anthropic", "k"));
        EXPECT_FALSE(Keychain::remove("Anthropic"));
    }
    EXPECT_NE(capture.text().find("[keychain] read \"Anthropic\" failed: no Secret Service answered"),
              std::string::npos);
}

namespace {

int runChild(const std::string& mode, const std::string& busAddress) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        if (entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) != 0) env.push_back(entry);
    }
    env.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress);
    env.push_back("VIVIROV_KEYCHAIN_CHILD=" + mode);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe", filter = "--gtest_filter=KeychainWithoutService.ChildProcessCheck";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(KeychainWithoutService, NoSessionBusGivesNoneAndFalse) {
    if (std::getenv("VIVIROV_KEYCHAIN_CHILD")) GTEST_SKIP();
    vivirov::test::TempDir dir;
    EXPECT_EQ(runChild("nobus", "unix:path=" + dir.file("no-such-socket")), 0);
}

TEST(KeychainWithoutService, ABusThatNeverAnswersIsBounded) {
    if (std::getenv("VIVIROV_KEYCHAIN_CHILD")) GTEST_SKIP();
    vivirov::test::TempDir dir;
    const std::string path = dir.file("silent-bus");
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0); // accepts connections, never speaks
    EXPECT_EQ(runChild("silent", "unix:path=" + path), 0);
    close(listener);
}
