#pragma once
// The client of the Gemini stream-generate endpoint: one POST per turn for a
// server-sent event stream; text and function calls passed on as they arrive.
#include <optional>
#include <string>
#include <string_view>

#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Providers/ProviderBase.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Json.h"

namespace vivirov {

class GeminiProvider : public ProviderBase {
public:
    static constexpr std::string_view kDefaultModel = "gemini-2.0-flash";
    static constexpr std::string_view kDefaultBaseURL = "https://generativelanguage.googleapis.com";
    static constexpr int kMaxOutputTokens = 8192;

    // Without a base URL, GEMINI_BASE_URL when set (even empty), else the
    // Gemini API origin. The base is used as given.
    explicit GeminiProvider(std::string model, std::optional<std::string> baseURL = std::nullopt,
                            std::optional<std::string> apiKey = std::nullopt);

    std::string id() const override { return "gemini"; }
    std::string displayName() const override { return "Google \xC2\xB7 Gemini"; }
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
    // The model id and key go into the URL; characters outside the unreserved
    // set are percent-encoded so that a "?", "#", "/" or "&" in them cannot
    // change which resource is asked for. Plain ids and keys stay as they are.
    static std::string percentEncoded(std::string_view text);

private:
    const std::string baseURL_;
};

} // namespace vivirov
