#pragma once
// The settable key and model every HTTP client keeps. The router may write
// them while calls run on other threads; a call reads both once, when it
// starts, so a change affects only later calls.
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Json.h"

namespace vivirov {

class ProviderBase : public LLMProvider {
public:
    std::optional<std::string> apiKey() const override;
    void setApiKey(std::optional<std::string> key) override;
    std::string model() const override;
    void setModel(std::string model) override;

protected:
    ProviderBase(std::optional<std::string> apiKey, std::string model);

    struct Settings {
        std::optional<std::string> apiKey;
        std::string model;
        // A key that is present and not empty.
        std::optional<std::string> usableKey() const {
            return apiKey && !apiKey->empty() ? apiKey : std::nullopt;
        }
    };
    Settings settings() const;

    // The content of the first system message, taken out of the history
    // (empty text when there is none); later system messages stay.
    static std::pair<std::string, std::vector<const ProviderChatMessage*>> takeSystemText(
        const std::vector<ProviderChatMessage>& messages);
    // Every parameter declared as a string of the given type name, and the
    // keys of the required ones in order (a repeated key: the later
    // description wins, and it is listed once per required copy).
    static std::pair<json::Value, json::Value> stringParameters(const ToolSchema& tool, const char* stringType);

private:
    mutable std::mutex mutex_;
    std::optional<std::string> apiKey_;
    std::string model_;
};

} // namespace vivirov
