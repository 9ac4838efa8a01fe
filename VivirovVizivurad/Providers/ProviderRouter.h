#pragma once
// The app's one catalogue of chat providers: builds the ordered provider
// list, chooses and remembers the active one, applies the stored models and
// the key store's keys, and totals token usage per provider.
//
// Lives on the GUI thread and takes no lock. The providers themselves are
// shared objects that turns use from other threads; the router only sets
// their key and model.
#include <QObject>
#include <QSettings>
#include <QString>
#include <QVariantMap>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

// The key store's secrets the router applies, by account (none: no secret).
struct StoredProviderKeys {
    std::map<std::string, std::optional<std::string>> byAccount;
};

class ProviderRouter : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString activeProviderID READ activeProviderIDText WRITE setActiveProviderIDText NOTIFY
                   activeProviderIDChanged)
    // {provider id: {"promptTokens": n, "completionTokens": n}}
    Q_PROPERTY(QVariantMap accumulatedUsage READ accumulatedUsageMap NOTIFY accumulatedUsageChanged)

public:
    static constexpr const char* kActiveProviderKey = "vivirov.vizivurad.activeProviderID.v3";
    static constexpr const char* kModelKeyPrefix = "vivirov.vizivurad.model.";

    // Chooses the active provider, builds the list and applies the keys. When
    // the in-process engine would be the choice, probes the local server
    // first, which may block for up to 2 s. Without settings, the app's
    // standard user settings are used.
    explicit ProviderRouter(std::unique_ptr<QSettings> settings = nullptr, QObject* parent = nullptr);
    ~ProviderRouter() override;

    const std::string& activeProviderID() const { return activeProviderID_; }
    // Persists every assignment.
    void setActiveProviderID(const std::string& id);
    const std::map<std::string, TokenUsage>& accumulatedUsage() const { return accumulatedUsage_; }
    const std::vector<std::shared_ptr<LLMProvider>>& providers() const { return providers_; }

    // The provider whose id is the active one, else the first of the list.
    std::shared_ptr<LLMProvider> current() const;
    // Makes a listed provider active; an id not in the list changes nothing.
    void activate(const std::string& id);
    // Applies the key store's keys (a missing key clears the provider's) and
    // moves the compatible slot to a changed stored base. Reads the key store
    // on the calling thread: the GUI thread uses the two steps below.
    void refreshKeys();
    // Any thread: reads every account the router applies (blocking).
    static StoredProviderKeys readStoredKeys();
    // What refreshKeys() does with keys read beforehand.
    void applyKeys(const StoredProviderKeys& keys);
    // Stores the model for the id and applies it to that provider, if listed.
    void setStoredModel(const std::string& id, const std::string& model);
    void accumulate(const std::string& id, const TokenUsage& usage);

    QString activeProviderIDText() const { return QString::fromStdString(activeProviderID_); }
    void setActiveProviderIDText(const QString& id) { setActiveProviderID(id.toStdString()); }
    QVariantMap accumulatedUsageMap() const;

signals:
    void activeProviderIDChanged(const QString& id);
    void accumulatedUsageChanged();

private:
    void rebuildProviders();
    void rebuildCompatProvider(const std::string& base, const std::optional<std::string>& key);
    std::string storedModel(const std::string& id, const std::string& fallback) const;
    void writeSetting(const QString& key, const std::string& value);

    std::unique_ptr<QSettings> settings_;
    std::string activeProviderID_;
    std::map<std::string, TokenUsage> accumulatedUsage_;
    std::vector<std::shared_ptr<LLMProvider>> providers_;
};

} // namespace vivirov
