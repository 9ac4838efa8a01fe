#pragma once
// The client of the Anthropic messages endpoint: one streamed POST per turn,
// text and completed tool calls passed on as they arrive.
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Providers/ProviderBase.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Json.h"

namespace vivirov {

class AnthropicProvider : public ProviderBase {
public:
    static constexpr std::string_view kDefaultModel = "claude-sonnet-4-5-20250929";
    static constexpr std::string_view kDefaultBaseURL = "https://api.anthropic.com";
    static constexpr std::string_view kAPIVersion = "2023-06-01";
    static constexpr int kMaxTokens = 4096;

    // Without a base URL, ANTHROPIC_BASE_URL when set (even empty), else the
    // Anthropic API origin. The base is used as given.
    explicit AnthropicProvider(std::string model, std::optional<std::string> baseURL = std::nullopt,
                               std::optional<std::string> apiKey = std::nullopt);

    std::string id() const override { return "anthropic"; }
    std::string displayName() const override { return "Anthropic \xC2\xB7 Claude"; }
    bool isReady() const override;
    bool supportsVision() const override { return true; }
    const std::string& baseURL() const { return baseURL_; }

    // Emits only text and tool-call deltas.
    ProviderResponse stream(const std::vector<ProviderChatMessage>& messages, const std::vector<ToolSchema>& tools,
                            double temperature, const OnDelta& onDelta, std::stop_token cancel = {}) override;

    HTTPRequest buildRequest(const std::vector<ProviderChatMessage>& messages, const std::vector<ToolSchema>& tools,
                             double temperature) const;
    static json::Value encodeMessage(const ProviderChatMessage& message);
    static json::Value encodeTool(const ToolSchema& tool);
    static std::map<std::string, std::string> parseArgsJSON(std::string_view text);

private:
    const std::string baseURL_;
};

} // namespace vivirov
