#include "VivirovVizivurad/Providers/ProviderRouter.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "VivirovKit/Providers/AnthropicProvider.h"
#include "VivirovKit/Providers/DerovInfinityProvider.h"
#include "VivirovKit/Providers/GeminiProvider.h"
#include "VivirovKit/Providers/OpenAICompatProvider.h"
#include "VivirovKit/Providers/OpenAIProvider.h"
#include "VivirovKit/Providers/RizeruLocalProvider.h"
#include "VivirovKit/Providers/XAIProvider.h"
#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/EngineHost/DerevududuvProvider.h"
#include "VivirovVizivurad/EngineHost/HardwareProfile.h"
#include "VivirovVizivurad/Platform/Keychain.h"

namespace vivirov {

namespace {

constexpr const char* kInProcessID = "derevududuv";
constexpr const char* kLocalID = "rizeru-local";
constexpr const char* kCompatID = "openai-compat";
constexpr const char* kCompatName = "OpenAI-Compatible";
constexpr const char* kCompatDefaultModel = "gpt-4o";
constexpr const char* kCompatKeyAccount = "OpenAI-Compat";
constexpr const char* kCompatBaseAccount = "OpenAI-Compat-Base";
constexpr double kStartupProbeTimeout = 1.5;

// Key-store account of each provider that takes a user key.
const char* keyAccount(const std::string& id) {
    if (id == "anthropic") return "Anthropic";
    if (id == "openai") return "OpenAI";
    if (id == "gemini") return "Gemini";
    if (id == "grok") return "Grok";
    if (id == kCompatID) return kCompatKeyAccount;
    return nullptr;
}

// The multi-drafter server checks no key; a fixed one is sent anyway.
std::string rozazuPlaceholderKey() {
    std::string key = "rozazu";
    key += "-local";
    key += "-k1";
    return key;
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// The model file of the in-process engine when nothing else names one.
std::string defaultInProcessModel() {
    std::string fallback = paths::home() + "/models/DeepSeek-V4-Core/ZOV4-Core-Only.gguf";
    auto chosen = env::string("VIVIROV_CHAT_MODEL");
    if (!chosen || chosen->empty() || !fileExists(*chosen)) return fallback;
    if (text::lowercased(*chosen).find("qwen") != std::string::npos) {
        logLine("[ProviderRouter] VIVIROV_CHAT_MODEL points at Qwen \xE2\x80\x94 refused; using Core-Only");
        return fallback;
    }
    return *chosen;
}

// Learns the local server's readiness off the GUI thread, at low priority.
void probeInBackground(std::shared_ptr<RizeruLocalProvider> provider) {
    std::thread([provider = std::move(provider)] {
        setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 10);
        provider->probeReachability(false);
    }).detach();
}

} // namespace

ProviderRouter::ProviderRouter(std::unique_ptr<QSettings> settings, QObject* parent)
    : QObject(parent), settings_(settings ? std::move(settings) : std::make_unique<QSettings>()) {
    const auto forced = env::string("VIVIROV_PROVIDER");
    const QString key = QString::fromLatin1(kActiveProviderKey);
    bool probeSucceeded = false;

    if (forced && !forced->empty()) {
        activeProviderID_ = *forced;
    } else {
        const QVariant stored = settings_->value(key);
        std::string initial = stored.isValid() ? stored.toString().toStdString() : kInProcessID;
        if (initial == "local-qwen") initial = kInProcessID;
        if (initial.empty()) {
            initial = kInProcessID;
            writeSetting(key, initial);
        }
        activeProviderID_ = initial;
        if (activeProviderID_ == kInProcessID) {
            const std::string base = RizeruLocalProvider::resolvedBase();
            if (RizeruLocalProvider::probeHealthSync(base, kStartupProbeTimeout)) {
                activeProviderID_ = kLocalID;
                writeSetting(key, activeProviderID_);
                logLine("[ProviderRouter] rizeru-local reachable at " + base +
                        " \xE2\x80\x94 defaulting active brain to Rizeru 27B \xC2\xB7 1Q Local (local engines stay OFF)");
                probeSucceeded = true;
            }
        }
    }

    rebuildProviders();

    for (const auto& provider : providers_) {
        if (provider->id() != kLocalID) continue;
        if (auto local = std::dynamic_pointer_cast<RizeruLocalProvider>(provider)) {
            if (probeSucceeded)
                local->noteProbeResult(true);
            else
                probeInBackground(std::move(local));
        }
        break;
    }
}

ProviderRouter::~ProviderRouter() = default;

void ProviderRouter::setActiveProviderID(const std::string& id) {
    writeSetting(QString::fromLatin1(kActiveProviderKey), id);
    if (id == activeProviderID_) return;
    activeProviderID_ = id;
    emit activeProviderIDChanged(QString::fromStdString(id));
}

std::shared_ptr<LLMProvider> ProviderRouter::current() const {
    for (const auto& provider : providers_)
        if (provider->id() == activeProviderID_) return provider;
    return providers_.front();
}

void ProviderRouter::activate(const std::string& id) {
    for (const auto& provider : providers_) {
        if (provider->id() == id) {
            setActiveProviderID(id);
            return;
        }
    }
}

void ProviderRouter::refreshKeys() {
    applyKeys(readStoredKeys());
}

StoredProviderKeys ProviderRouter::readStoredKeys() {
    StoredProviderKeys keys;
    for (const char* id : {"anthropic", "openai", "gemini", "grok", kCompatID})
        keys.byAccount[keyAccount(id)] = Keychain::read(keyAccount(id));
    keys.byAccount[kCompatBaseAccount] = Keychain::read(kCompatBaseAccount);
    return keys;
}

void ProviderRouter::applyKeys(const StoredProviderKeys& keys) {
    auto stored = [&](const char* account) -> std::optional<std::string> {
        auto it = keys.byAccount.find(account);
        return it == keys.byAccount.end() ? std::nullopt : it->second;
    };
    const auto snapshot = providers_;
    for (const auto& provider : snapshot) {
        const std::string id = provider->id();
        const char* account = keyAccount(id);
        if (!account) continue;
        provider->setApiKey(stored(account));
        if (id != kCompatID) continue;
        auto compat = std::dynamic_pointer_cast<OpenAICompatProvider>(provider);
        if (!compat) continue;
        // Compared in the form the provider keeps, so a stored base that
        // differs only by blanks or a trailing slash is not a new endpoint.
        auto base = stored(kCompatBaseAccount);
        if (!base) continue;
        const std::string configured = RizeruLocalProvider::trimmedBase(*base);
        if (!configured.empty() && configured != compat->configuredBaseURL())
            rebuildCompatProvider(*base, stored(kCompatKeyAccount));
    }
}

void ProviderRouter::setStoredModel(const std::string& id, const std::string& model) {
    writeSetting(QString::fromStdString(kModelKeyPrefix + id), model);
    for (const auto& provider : providers_) {
        if (provider->id() == id) {
            provider->setModel(model);
            return;
        }
    }
}

void ProviderRouter::accumulate(const std::string& id, const TokenUsage& usage) {
    TokenUsage& total = accumulatedUsage_[id];
    total.promptTokens += usage.promptTokens;
    total.completionTokens += usage.completionTokens;
    emit accumulatedUsageChanged();
}

QVariantMap ProviderRouter::accumulatedUsageMap() const {
    QVariantMap out;
    for (const auto& [id, usage] : accumulatedUsage_) {
        QVariantMap entry;
        entry.insert(QStringLiteral("promptTokens"), qlonglong(usage.promptTokens));
        entry.insert(QStringLiteral("completionTokens"), qlonglong(usage.completionTokens));
        out.insert(QString::fromStdString(id), entry);
    }
    return out;
}

void ProviderRouter::rebuildProviders() {
    std::vector<std::shared_ptr<LLMProvider>> list;
    const bool legacy = env::isOn("VIVIROV_SHOW_LEGACY_ENGINES");

    // Worked out on every build, listed or not, so its refusal line is too.
    const std::string inProcessDefault = defaultInProcessModel();
    const std::string inProcessModel =
        env::string("VIVIROV_VM_MODEL").value_or(storedModel(kInProcessID, inProcessDefault));
    if (legacy) list.push_back(std::make_shared<DerevududuvProvider>(inProcessModel));

    list.push_back(std::make_shared<RizeruLocalProvider>(
        std::nullopt, storedModel(kLocalID, std::string(RizeruLocalProvider::kDefaultModel))));

    const bool rozazu = HardwareProfile::detect().enableRozazu;
    if (rozazu || env::isOn("VIVIROV_ENABLE_ROZAZU")) {
        list.push_back(std::make_shared<OpenAICompatProvider>(
            env::string("RIZERU_ROZAZU_URL").value_or("http://127.0.0.1:8095"), "rizeru-rozazu",
            "Vivirov \xC2\xB7 Multi-Drafter", storedModel("rizeru-rozazu", "rozazu-rizeru-27b"),
            rozazuPlaceholderKey()));
    }

    if (legacy)
        list.push_back(
            std::make_shared<DerovInfinityProvider>(std::nullopt, storedModel("derov-infinity", "unsloth/llama-3-8b")));

    list.push_back(std::make_shared<AnthropicProvider>(
        storedModel("anthropic", std::string(AnthropicProvider::kDefaultModel))));
    list.push_back(std::make_shared<OpenAIProvider>("openai", "OpenAI \xC2\xB7 GPT-4o", storedModel("openai", "gpt-4o")));
    list.push_back(
        std::make_shared<GeminiProvider>(storedModel("gemini", std::string(GeminiProvider::kDefaultModel))));
    list.push_back(std::make_shared<XAIProvider>(storedModel("grok", "grok-4"), std::nullopt));

    std::string compatBase = "http://localhost:1234/v1";
    if (auto stored = Keychain::read(kCompatBaseAccount))
        compatBase = *stored;
    else if (auto fromEnv = env::string("VIVIROV_COMPAT_BASE_URL"))
        compatBase = *fromEnv;
    list.push_back(std::make_shared<OpenAICompatProvider>(compatBase, kCompatID, kCompatName,
                                                          storedModel(kCompatID, kCompatDefaultModel), std::nullopt));

    providers_ = std::move(list);
    refreshKeys();
}

void ProviderRouter::rebuildCompatProvider(const std::string& base, const std::optional<std::string>& key) {
    for (auto& provider : providers_) {
        if (provider->id() != kCompatID) continue;
        auto rebuilt = std::make_shared<OpenAICompatProvider>(base, kCompatID, kCompatName,
                                                              storedModel(kCompatID, kCompatDefaultModel), std::nullopt);
        rebuilt->setApiKey(key);
        provider = std::move(rebuilt);
        return;
    }
}

std::string ProviderRouter::storedModel(const std::string& id, const std::string& fallback) const {
    const QVariant stored = settings_->value(QString::fromStdString(kModelKeyPrefix + id));
    return stored.isValid() ? stored.toString().toStdString() : fallback;
}

void ProviderRouter::writeSetting(const QString& key, const std::string& value) {
    settings_->setValue(key, QString::fromStdString(value));
    settings_->sync();
}

} // namespace vivirov
