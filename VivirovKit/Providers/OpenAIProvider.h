#pragma once
// The client of OpenAI-style chat-completions endpoints, in the cloud and on
// the loopback interface. Made to be subclassed: the local and compatible
// endpoints replace only their construction, readiness and vision flag.
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Providers/ProviderBase.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Json.h"

namespace vivirov {

class OpenAIProvider : public ProviderBase {
public:
    // Without a base URL, OPENAI_BASE_URL when set (even empty), else the
    // OpenAI API origin. The base is used as given.
    OpenAIProvider(std::string id, std::string displayName, std::string model,
                   std::optional<std::string> baseURL = std::nullopt,
                   std::optional<std::string> apiKey = std::nullopt);

    std::string id() const override { return id_; }
    std::string displayName() const override { return displayName_; }
    // A local endpoint needs no key.
    bool isReady() const override;
    bool supportsVision() const override { return true; }

    const std::string& baseURL() const { return baseURL_; }
    // The base names 127.0.0.1, localhost or 0.0.0.0 anywhere (any case).
    bool isLocalEndpoint() const;

    ProviderResponse stream(const std::vector<ProviderChatMessage>& messages, const std::vector<ToolSchema>& tools,
                            double temperature, const OnDelta& onDelta, std::stop_token cancel = {}) final;

    // The request one call sends: key check, the Rizeru persona and
    // temperature cap, sampling keys and token limit. Throws
    // LLMProviderError::notReady without a usable key.
    HTTPRequest buildRequest(const std::vector<ProviderChatMessage>& messages, const std::vector<ToolSchema>& tools,
                             double temperature) const;

    static json::Value encodeMessage(const ProviderChatMessage& message);
    static json::Value encodeTool(const ToolSchema& tool);
    static std::map<std::string, std::string> parseArgsJSON(std::string_view text);
    // The final-answer clean-up of the Rizeru family.
    static std::string stripEmptyThinkWrappers(std::string_view content);

    // The local server slot and the multi-drafter endpoint: "rizeru-local" or
    // any id beginning "rizeru" (case-sensitive).
    static bool isRizeruFamily(std::string_view id);
    // The providers that get llama-server style sampling keys.
    static bool usesLocalSampling(std::string_view id);
    // The system text the Rizeru family puts in front of every history.
    static const std::string& persona();
    // Sent as the bearer key to a local endpoint that has none.
    static constexpr std::string_view kLocalPlaceholderKey = "qz-plain";
    static constexpr std::string_view kDefaultBaseURL = "https://api.openai.com";

private:
    const std::string id_;
    const std::string displayName_;
    const std::string baseURL_;
};

} // namespace vivirov
