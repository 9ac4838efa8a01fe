#include <gtest/gtest.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "VivirovKit/Providers/OpenAICompatProvider.h"
#include "VivirovKit/Providers/RizeruLocalProvider.h"
#include "tests/Router/RouterFixture.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using namespace vivirov::test;
using namespace std::chrono_literals;

namespace {

const std::string kActiveKey = ProviderRouter::kActiveProviderKey;

size_t occurrences(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

std::string reachableLine(const std::string& base) {
    return "[ProviderRouter] rizeru-local reachable at " + base +
           " \xE2\x80\x94 defaulting active brain to Rizeru 27B \xC2\xB7 1Q Local (local engines stay OFF)\n";
}

const std::string kQwenRefusal =
    "[ProviderRouter] VIVIROV_CHAT_MODEL points at Qwen \xE2\x80\x94 refused; using Core-Only\n";

} // namespace

class ProviderRouterTest : public RouterFixture {};

// ---------------------------------------------------------------------------
// The offered list, in order.

struct ListCase {
    const char* name;
    const char* legacy;       // VIVIROV_SHOW_LEGACY_ENGINES, null: unset
    const char* enableRozazu; // VIVIROV_ENABLE_ROZAZU
    const char* tier;         // VIVIROV_HW_PROFILE
    std::vector<std::string> ids;
};

TEST_F(ProviderRouterTest, ListsProvidersInOrderBySwitchesAndTier) {
    const std::vector<std::string> cloud = {"anthropic", "openai", "gemini", "grok", "openai-compat"};
    auto with = [&](std::vector<std::string> head) {
        head.insert(head.end(), cloud.begin(), cloud.end());
        return head;
    };
    const ListCase cases[] = {
        {"medium tier", nullptr, nullptr, "16g", with({"rizeru-local", "rizeru-rozazu"})},
        {"medium tier by name", nullptr, nullptr, "Medium", with({"rizeru-local", "rizeru-rozazu"})},
        {"large tier", nullptr, nullptr, "lab", with({"rizeru-local", "rizeru-rozazu"})},
        {"small tier has no multi-drafter", nullptr, nullptr, "8g", with({"rizeru-local"})},
        {"small tier, multi-drafter forced", nullptr, "1", "8gb", with({"rizeru-local", "rizeru-rozazu"})},
        {"switches are on only at exactly 1", "true", "yes", "small", with({"rizeru-local"})},
        {"legacy engines, medium tier", "1", nullptr, "16gb",
         with({"derevududuv", "rizeru-local", "rizeru-rozazu", "derov-infinity"})},
        {"legacy engines, small tier", "1", "0", "8g", with({"derevududuv", "rizeru-local", "derov-infinity"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setEnv("VIVIROV_SHOW_LEGACY_ENGINES", c.legacy ? std::optional<std::string>(c.legacy) : std::nullopt);
        setEnv("VIVIROV_ENABLE_ROZAZU", c.enableRozazu ? std::optional<std::string>(c.enableRozazu) : std::nullopt);
        setEnv("VIVIROV_HW_PROFILE", std::string(c.tier));
        store(kActiveKey, "anthropic"); // no start-up probe
        auto router = launch();
        EXPECT_EQ(ids(*router), c.ids);
    }
}

TEST_F(ProviderRouterTest, EntriesCarryTheirNamesModelsBasesAndKeys) {
    setEnv("VIVIROV_SHOW_LEGACY_ENGINES", "1");
    setEnv("RIZERU_ROZAZU_URL", "http://127.0.0.1:9095/v1");
    setEnv("VIVIROV_COMPAT_BASE_URL", "http://127.0.0.1:7777/v1/");
    store(kActiveKey, "anthropic");
    store(std::string(ProviderRouter::kModelKeyPrefix) + "gemini", "gemini-custom");
    store(std::string(ProviderRouter::kModelKeyPrefix) + "grok", ""); // a stored empty model wins too
    auto router = launch();

    struct Expect {
        std::string id, displayName, model;
    };
    const Expect expected[] = {
        {"derevududuv", "Local \xC2\xB7 Derevududuv (Qwen chat \xC2\xB7 ZOV4 LIVE separate)",
         home_.path() + "/models/DeepSeek-V4-Core/ZOV4-Core-Only.gguf"},
        {"rizeru-local", "Vivirov Vizivurad \xC2\xB7 27B", "rizeru-qwen3.6-27b"},
        {"rizeru-rozazu", "Vivirov \xC2\xB7 Multi-Drafter", "rozazu-rizeru-27b"},
        {"derov-infinity", "Derov \xE2\x88\x9E \xC2\xB7 local MLX", "unsloth/llama-3-8b"},
        {"anthropic", "Anthropic \xC2\xB7 Claude", "claude-sonnet-4-5-20250929"},
        {"openai", "OpenAI \xC2\xB7 GPT-4o", "gpt-4o"},
        {"gemini", "Google \xC2\xB7 Gemini", "gemini-custom"},
        {"grok", "xAI \xC2\xB7 Grok", ""},
        {"openai-compat", "OpenAI-Compatible", "gpt-4o"},
    };
    ASSERT_EQ(router->providers().size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const auto& p = router->providers()[i];
        SCOPED_TRACE(expected[i].id);
        EXPECT_EQ(p->id(), expected[i].id);
        EXPECT_EQ(p->displayName(), expected[i].displayName);
        EXPECT_EQ(p->model(), expected[i].model);
    }

    auto rozazu = std::dynamic_pointer_cast<OpenAICompatProvider>(provider(*router, "rizeru-rozazu"));
    ASSERT_TRUE(rozazu);
    EXPECT_EQ(rozazu->configuredBaseURL(), "http://127.0.0.1:9095/v1");
    ASSERT_TRUE(rozazu->apiKey());
    EXPECT_EQ(rozazu->apiKey()->size(), 15u);

    auto compat = std::dynamic_pointer_cast<OpenAICompatProvider>(provider(*router, "openai-compat"));
    ASSERT_TRUE(compat);
    EXPECT_EQ(compat->configuredBaseURL(), "http://127.0.0.1:7777/v1");

    auto local = std::dynamic_pointer_cast<RizeruLocalProvider>(provider(*router, "rizeru-local"));
    ASSERT_TRUE(local);
    EXPECT_EQ(local->serverBase(), health_.baseURL());
    EXPECT_EQ(local->apiKey(), std::string(RizeruLocalProvider::kPlaceholderKey));
    EXPECT_EQ(provider(*router, "derevududuv")->apiKey(), std::nullopt);

    unsetenv("VIVIROV_COMPAT_BASE_URL");
    unsetenv("RIZERU_ROZAZU_URL");
    auto defaults = launch();
    compat = std::dynamic_pointer_cast<OpenAICompatProvider>(provider(*defaults, "openai-compat"));
    rozazu = std::dynamic_pointer_cast<OpenAICompatProvider>(provider(*defaults, "rizeru-rozazu"));
    EXPECT_EQ(compat->configuredBaseURL(), "http://localhost:1234/v1");
    EXPECT_EQ(rozazu->configuredBaseURL(), "http://127.0.0.1:8095");
}

// The in-process entry's model file, and the refusal of Qwen models.
TEST_F(ProviderRouterTest, InProcessModelPathRules) {
    const std::string plain = dir_.write("models/plain.gguf", "GGUF");
    const std::string qwen = dir_.write("models/My-QWEN2-7B.gguf", "GGUF");
    const std::string fallback = home_.path() + "/models/DeepSeek-V4-Core/ZOV4-Core-Only.gguf";
    const std::string storedKey = std::string(ProviderRouter::kModelKeyPrefix) + "derevududuv";

    struct Case {
        const char* name;
        bool legacy;
        std::optional<std::string> vmModel, chatModel, storedModel;
        std::string expected; // empty: not listed
        bool refusal;
    };
    const Case cases[] = {
        {"nothing set", true, {}, {}, {}, fallback, false},
        {"stored model", true, {}, {}, "/m/stored.gguf", "/m/stored.gguf", false},
        {"VIVIROV_VM_MODEL beats the stored model", true, "/m/vm.gguf", {}, "/m/stored.gguf", "/m/vm.gguf", false},
        {"VIVIROV_VM_MODEL counts even when empty", true, "", {}, "/m/stored.gguf", "", false},
        {"existing chat model is the default", true, {}, plain, {}, plain, false},
        {"missing chat model is ignored", true, {}, dir_.file("models/absent.gguf"), {}, fallback, false},
        {"Qwen chat model is refused", true, {}, qwen, {}, fallback, true},
        {"refused on every build, listed or not", false, {}, qwen, {}, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setEnv("VIVIROV_SHOW_LEGACY_ENGINES", c.legacy ? std::optional<std::string>("1") : std::nullopt);
        setEnv("VIVIROV_VM_MODEL", c.vmModel);
        setEnv("VIVIROV_CHAT_MODEL", c.chatModel);
        auto s = settings();
        s->clear();
        s->setValue(QString::fromStdString(kActiveKey), "anthropic");
        if (c.storedModel) s->setValue(QString::fromStdString(storedKey), QString::fromStdString(*c.storedModel));
        s->sync();

        StderrCapture capture;
        auto router = launch();
        const std::string logged = capture.text();
        EXPECT_EQ(occurrences(logged, kQwenRefusal), c.refusal ? 1u : 0u) << logged;
        auto inProcess = provider(*router, "derevududuv");
        if (c.legacy) {
            ASSERT_TRUE(inProcess);
            EXPECT_EQ(inProcess->model(), c.expected);
        } else {
            EXPECT_FALSE(inProcess);
        }
    }
}

// ---------------------------------------------------------------------------
// The active choice at launch.

struct LaunchCase {
    const char* name;
    std::optional<std::string> forced; // VIVIROV_PROVIDER
    std::optional<std::string> stored; // active id stored before launch
    bool serverUp;
    bool legacy;
    std::string active;
    std::optional<std::string> storedAfter;
    std::string current;
    size_t healthProbes;  // the start-up probe plus the background one
    bool switchedToLocal; // the reachable line, and ready at once
};

TEST_F(ProviderRouterTest, ChoosesTheActiveProviderAtLaunch) {
    const LaunchCase cases[] = {
        {"nothing stored, no server", {}, {}, false, false, "derevududuv", {}, "rizeru-local", 2, false},
        {"nothing stored, legacy engines", {}, {}, false, true, "derevududuv", {}, "derevududuv", 2, false},
        {"nothing stored, server answers", {}, {}, true, false, "rizeru-local", "rizeru-local", "rizeru-local", 1,
         true},
        {"stored in-process, server answers", {}, "derevududuv", true, true, "rizeru-local", "rizeru-local",
         "rizeru-local", 1, true},
        {"stored valid id: no start-up probe", {}, "anthropic", true, false, "anthropic", "anthropic", "anthropic", 1,
         false},
        {"stored local-qwen, no server", {}, "local-qwen", false, false, "derevududuv", "local-qwen", "rizeru-local",
         2, false},
        {"stored local-qwen, server answers", {}, "local-qwen", true, false, "rizeru-local", "rizeru-local",
         "rizeru-local", 1, true},
        {"stored empty id", {}, "", false, false, "derevududuv", "derevududuv", "rizeru-local", 2, false},
        {"stored unknown id", {}, "retired-engine", true, false, "retired-engine", "retired-engine", "rizeru-local", 1,
         false},
        {"variable wins, not stored", "gemini", "anthropic", true, false, "gemini", "anthropic", "gemini", 1, false},
        {"empty variable is ignored", "", "openai", false, false, "openai", "openai", "openai", 1, false},
        {"unknown variable stays active", "bogus", {}, true, false, "bogus", {}, "rizeru-local", 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setEnv("VIVIROV_PROVIDER", c.forced);
        setEnv("VIVIROV_SHOW_LEGACY_ENGINES", c.legacy ? std::optional<std::string>("1") : std::nullopt);
        auto s = settings();
        s->clear();
        if (c.stored) s->setValue(QString::fromStdString(kActiveKey), QString::fromStdString(*c.stored));
        s->sync();
        *serverUp_ = c.serverUp;
        const size_t before = health_.requestCount();

        StderrCapture capture;
        auto router = launch();
        auto local = std::dynamic_pointer_cast<RizeruLocalProvider>(provider(*router, "rizeru-local"));
        const bool readyAtOnce = local && local->isReady();
        const std::string logged = capture.text();

        EXPECT_EQ(router->activeProviderID(), c.active);
        EXPECT_EQ(stored(kActiveKey), c.storedAfter);
        EXPECT_EQ(router->current()->id(), c.current);
        EXPECT_EQ(occurrences(logged, reachableLine(health_.baseURL())), c.switchedToLocal ? 1u : 0u) << logged;
        EXPECT_EQ(readyAtOnce, c.switchedToLocal);

        // The background probe makes the local server's readiness known soon.
        EXPECT_TRUE(health_.waitForRequests(before + c.healthProbes));
        if (c.serverUp) {
            EXPECT_TRUE(waitUntil([&] { return local->isReady(); }));
        }
        EXPECT_FALSE(health_.waitForRequests(before + c.healthProbes + 1, 150ms)) << "an extra health probe";
        for (const auto& request : health_.requests()) EXPECT_EQ(request.target, "/health");
    }
}

// A port that accepts connections and never answers must not hold the launch
// past the probe's limit (1.5 s plus half a second of grace).
TEST_F(ProviderRouterTest, StartupProbeIsBoundedAgainstABlackHole) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 16), 0); // the kernel completes handshakes; nothing reads or answers
    fcntl(fd, F_SETFL, O_NONBLOCK);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    setenv("VIVIROV_RIZERU_BASE_URL", ("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port))).c_str(), 1);

    const auto start = std::chrono::steady_clock::now();
    auto router = launch();
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(router->activeProviderID(), "derevududuv");
    EXPECT_EQ(stored(kActiveKey), std::nullopt);
    // 2 s allowed, plus a margin for a loaded machine; a hang would be far longer.
    EXPECT_LT(elapsed, 5s);
    int probe = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK); // the probe did knock
    EXPECT_GE(probe, 0);
    if (probe >= 0) close(probe);
    close(fd);
}

// ---------------------------------------------------------------------------
// Changes after launch.

TEST_F(ProviderRouterTest, ActivateChangesOnlyToListedProvidersAndPersists) {
    store(kActiveKey, "anthropic");
    auto router = launch();
    std::vector<QString> announced;
    QObject::connect(router.get(), &ProviderRouter::activeProviderIDChanged,
                     [&](const QString& id) { announced.push_back(id); });

    store(kActiveKey, "sentinel"); // to see whether anything is written
    router->activate("no-such-provider");
    EXPECT_EQ(router->activeProviderID(), "anthropic");
    EXPECT_EQ(stored(kActiveKey), "sentinel");
    EXPECT_TRUE(announced.empty());

    router->activate("grok");
    EXPECT_EQ(router->current()->id(), "grok");
    EXPECT_EQ(stored(kActiveKey), "grok");
    EXPECT_EQ(announced, std::vector<QString>{"grok"});

    // Views assign through the property; any id is kept and persisted.
    router->setProperty("activeProviderID", QStringLiteral("self-test-stub"));
    EXPECT_EQ(router->activeProviderID(), "self-test-stub");
    EXPECT_EQ(stored(kActiveKey), "self-test-stub");
    EXPECT_EQ(router->current()->id(), "rizeru-local");
    EXPECT_EQ(announced.size(), 2u);

    // The next launch starts from what was stored.
    router = launch();
    EXPECT_EQ(router->activeProviderID(), "self-test-stub");
}

TEST_F(ProviderRouterTest, StoredModelIsAppliedNowAndAtTheNextLaunch) {
    store(kActiveKey, "anthropic");
    auto router = launch();
    auto openai = provider(*router, "openai");
    router->setStoredModel("openai", "gpt-4.1-mini");
    EXPECT_EQ(openai->model(), "gpt-4.1-mini");
    EXPECT_EQ(stored("vivirov.vizivurad.model.openai"), "gpt-4.1-mini");

    router->setStoredModel("not-listed", "m1"); // stored whether or not listed
    EXPECT_EQ(stored("vivirov.vizivurad.model.not-listed"), "m1");

    auto next = launch();
    EXPECT_EQ(provider(*next, "openai")->model(), "gpt-4.1-mini");
}

TEST_F(ProviderRouterTest, UsageAccumulatesPerProvider) {
    store(kActiveKey, "anthropic");
    auto router = launch();
    int changes = 0;
    QObject::connect(router.get(), &ProviderRouter::accumulatedUsageChanged, [&] { ++changes; });

    EXPECT_TRUE(router->accumulatedUsage().empty());
    router->accumulate("anthropic", {100, 20});
    router->accumulate("anthropic", {50, 5});
    router->accumulate("gemini", {7, 3});
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(router->accumulatedUsage().at("anthropic"), (TokenUsage{150, 25}));
    EXPECT_EQ(router->accumulatedUsage().at("gemini"), (TokenUsage{7, 3}));

    const QVariantMap published = router->property("accumulatedUsage").toMap();
    const QVariantMap anthropic = published.value("anthropic").toMap();
    EXPECT_EQ(anthropic.value("promptTokens").toLongLong(), 150);
    EXPECT_EQ(anthropic.value("completionTokens").toLongLong(), 25);

    EXPECT_TRUE(launch()->accumulatedUsage().empty()); // totals are per launch
}
