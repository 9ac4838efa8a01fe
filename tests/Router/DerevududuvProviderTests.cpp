#include <gtest/gtest.h>

#include <string>

#include "VivirovVizivurad/EngineHost/DerevududuvProvider.h"
#include "tests/support/TempDir.h"

using vivirov::DerevududuvProvider;
using vivirov::LLMProviderError;
using vivirov::ProviderChatMessage;
using vivirov::ProviderRole;

TEST(DerevududuvProvider, ReadinessFollowsTheModelFile) {
    vivirov::test::TempDir dir;
    const std::string model = dir.write("ZOV4-Core-Only.gguf", "not even a GGUF file");

    DerevududuvProvider provider(dir.file("absent.gguf"));
    EXPECT_EQ(provider.id(), "derevududuv");
    EXPECT_FALSE(provider.supportsVision());
    EXPECT_EQ(provider.apiKey(), std::nullopt);

    struct Case {
        std::string path;
        bool ready;
    };
    const Case cases[] = {{"", false}, {dir.file("absent.gguf"), false}, {model, true}};
    for (const auto& c : cases) {
        provider.setModel(c.path);
        EXPECT_EQ(provider.model(), c.path);
        EXPECT_EQ(provider.isReady(), c.ready) << c.path;
    }
}

TEST(DerevududuvProvider, StreamFailsNotReadyAndDeliversNothing) {
    vivirov::test::TempDir dir;
    const std::string present = dir.write("model.gguf", "GGUF");
    const std::string absent = dir.file("absent.gguf");
    const std::pair<std::string, std::string> cases[] = {
        {absent, "Derevududuv model not found: " + absent},
        {present, "Derevududuv engine failed to load: " + present},
    };
    for (const auto& [path, message] : cases) {
        DerevududuvProvider provider(path);
        int deltas = 0;
        try {
            provider.stream({ProviderChatMessage::make(ProviderRole::user, "hi")}, {}, 0.7,
                            [&](const vivirov::StreamDelta&) { ++deltas; });
            ADD_FAILURE() << "stream returned for " << path;
        } catch (const LLMProviderError& error) {
            EXPECT_EQ(error.kind(), LLMProviderError::Kind::notReady);
            EXPECT_EQ(error.message(), message);
        }
        EXPECT_EQ(deltas, 0);
    }
}
