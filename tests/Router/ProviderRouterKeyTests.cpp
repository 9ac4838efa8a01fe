#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "VivirovKit/Providers/OpenAICompatProvider.h"
#include "VivirovKit/Providers/RizeruLocalProvider.h"
#include "tests/Router/RouterFixture.h"

using namespace vivirov;
using namespace vivirov::test;

// Runs against the real key store; the accounts are emptied for each test
// and restored after it.
class ProviderRouterKeys : public RouterFixture {
protected:
    void SetUp() override {
        if (!secretServiceAnswers()) GTEST_SKIP() << "no Secret Service on this bus (run through scripts/test)";
        RouterFixture::SetUp();
        store(ProviderRouter::kActiveProviderKey, "anthropic");
    }

    static size_t indexOf(const ProviderRouter& router, const std::string& id) {
        for (size_t i = 0; i < router.providers().size(); ++i)
            if (router.providers()[i]->id() == id) return i;
        return SIZE_MAX;
    }
};

TEST_F(ProviderRouterKeys, RefreshAppliesAndClearsKeysOfTheKeyedProviders) {
    ASSERT_TRUE(Keychain::save("Gemini", "g-at-launch"));
    auto router = launch();
    EXPECT_EQ(provider(*router, "gemini")->apiKey(), "g-at-launch");

    ASSERT_TRUE(Keychain::save("OpenAI", "sk-one"));
    ASSERT_TRUE(Keychain::save("Grok", "xai-one"));
    ASSERT_TRUE(Keychain::save("OpenAI-Compat", "compat-one"));
    provider(*router, "anthropic")->setApiKey("set-elsewhere");
    router->refreshKeys();

    struct Expect {
        const char* id;
        std::optional<std::string> key;
    };
    const std::string rozazuKey = *provider(*router, "rizeru-rozazu")->apiKey();
    const Expect afterSave[] = {
        {"anthropic", std::nullopt}, // nothing stored clears a key set by other means
        {"openai", "sk-one"},
        {"gemini", "g-at-launch"},
        {"grok", "xai-one"},
        {"openai-compat", "compat-one"},
        {"rizeru-local", std::string(RizeruLocalProvider::kPlaceholderKey)}, // local entries keep theirs
        {"rizeru-rozazu", rozazuKey},
    };
    for (const auto& e : afterSave) EXPECT_EQ(provider(*router, e.id)->apiKey(), e.key) << e.id;

    ASSERT_TRUE(Keychain::remove("OpenAI"));
    ASSERT_TRUE(Keychain::save("Grok", "xai-two"));
    router->refreshKeys();
    EXPECT_EQ(provider(*router, "openai")->apiKey(), std::nullopt);
    EXPECT_EQ(provider(*router, "grok")->apiKey(), "xai-two");
}

TEST_F(ProviderRouterKeys, CompatibleSlotIsRebuiltOnlyWhenItsBaseChanges) {
    ASSERT_TRUE(Keychain::save("OpenAI-Compat", "compat-key"));
    store(std::string(ProviderRouter::kModelKeyPrefix) + "openai-compat", "qwen-coder");
    auto router = launch();
    const size_t slot = indexOf(*router, "openai-compat");
    ASSERT_NE(slot, SIZE_MAX);
    auto original = router->providers()[slot];

    router->refreshKeys(); // nothing stored: the slot stays
    EXPECT_EQ(router->providers()[slot], original);

    ASSERT_TRUE(Keychain::save("OpenAI-Compat-Base", "http://127.0.0.1:9911/v1"));
    router->refreshKeys();
    auto rebuilt = std::dynamic_pointer_cast<OpenAICompatProvider>(router->providers()[slot]);
    ASSERT_TRUE(rebuilt);
    EXPECT_NE(rebuilt, original);
    EXPECT_EQ(indexOf(*router, "openai-compat"), slot);
    EXPECT_EQ(rebuilt->configuredBaseURL(), "http://127.0.0.1:9911/v1");
    EXPECT_EQ(rebuilt->displayName(), "OpenAI-Compatible");
    EXPECT_EQ(rebuilt->model(), "qwen-coder");
    EXPECT_EQ(rebuilt->apiKey(), "compat-key");
    // A running turn that holds the old slot keeps a working provider.
    EXPECT_EQ(std::dynamic_pointer_cast<OpenAICompatProvider>(original)->configuredBaseURL(),
              "http://localhost:1234/v1");

    struct Step {
        const char* base;
        bool rebuilds;
    };
    const Step steps[] = {
        {"http://127.0.0.1:9911/v1", false},
        {"  http://127.0.0.1:9911/v1/ ", false}, // the same endpoint, written loosely
        {"   ", false},
        {"http://127.0.0.1:9922", true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.base);
        auto before = router->providers()[slot];
        ASSERT_TRUE(Keychain::save("OpenAI-Compat-Base", step.base));
        router->refreshKeys();
        EXPECT_EQ(router->providers()[slot] != before, step.rebuilds);
    }

    // The stored base is used when the list is built, ahead of the variable.
    setenv("VIVIROV_COMPAT_BASE_URL", "http://127.0.0.1:7777/v1", 1);
    auto next = launch();
    auto compat = std::dynamic_pointer_cast<OpenAICompatProvider>(provider(*next, "openai-compat"));
    EXPECT_EQ(compat->configuredBaseURL(), "http://127.0.0.1:9922");
    EXPECT_EQ(compat->apiKey(), "compat-key");
}
