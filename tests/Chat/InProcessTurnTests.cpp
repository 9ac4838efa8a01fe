// A plain Ask turn answered by the in-process engine end to end: the real
// first-generation host and the local provider over a small written model.
#include <gtest/gtest.h>

#include "VivirovVizivurad/Chat/ProviderGeneration.h"
#include "VivirovVizivurad/EngineHost/DerevududuvProvider.h"
#include "VivirovVizivurad/EngineHost/InProcessEngine.h"
#include "tests/Chat/TurnFixture.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {
namespace {

class EngineServices final : public GraphServices {
public:
    using GraphServices::GraphServices;
    std::unique_ptr<InProcessHost> makeInProcessHost() override { return std::make_unique<InProcessEngine>(); }
};

class InProcessTurn : public TurnFixture {
protected:
    InProcessTurn() {
        QwenShape shape;
        shape.scale = 0.5f; // large enough weights that the answer is not one repeated token
        model = QwenModel(shape).writer().write(dir.file("qwen.gguf"));
        env.set("VIVIROV_PROVIDER", "derevududuv")
            .set("VIVIROV_VM_MODEL", model)
            .set("QUINTORA_MODEL_PATH", model)
            .set("VIVIROV_VM_NPREDICT", "12")
            .set("VIVIROV_VM_MLOCK", "0")
            .set("VIVIROV_LOW_RAM", std::nullopt);
    }

    QuintoraViewModel& buildWithEngine() {
        services = std::make_unique<EngineServices>(dir);
        std::thread([&] { services->prepare(); }).join();
        vm = std::make_unique<QuintoraViewModel>(*services);
        return *vm;
    }

    std::string model;
};

TEST_F(InProcessTurn, APlainAskIsAnsweredByTheLocalModelAndSaved) {
    // What the provider alone answers to the same history.
    DerevududuvProvider alone(model);
    const std::string expected =
        alone.stream({ProviderChatMessage::make(ProviderRole::user, "hello world")}, {}, 0.7, {}).content;
    ASSERT_FALSE(expected.empty());

    auto& vm = buildWithEngine();
    ASSERT_TRUE(qtWaitUntil([&] { return vm.engineStatus() == "ready"; })) << vm.engineStatus();
    vm.setAgentMode(AgentMode::ask);
    vm.setInput("hello world");
    StderrCapture err;
    vm.send();
    auto& chat = vm.chatContext();
    ASSERT_TRUE(turnEnded(chat));

    EXPECT_EQ(rowTexts(chat), (std::vector<std::string>{"user:hello world", "assistant:" + expected}));
    EXPECT_EQ(chat.lastStats(), alone.displayName() + " \xC2\xB7 native \xC2\xB7 pillar");
    EXPECT_EQ(stored(chat), (std::vector<std::string>{"user:hello world", "assistant:" + expected}));
    EXPECT_NE(err.text().find(turn::finalLogLine(ConversationKind::chat, "derevududuv", expected) + "\n"),
              std::string::npos)
        << err.text();
    EXPECT_TRUE(chatRequests().empty()) << "no server is asked";
}

} // namespace
} // namespace vivirov::test
