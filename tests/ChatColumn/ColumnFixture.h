#pragma once
// A chat controller over fake services in a temporary home, and helpers to
// put rows straight into its chat pillar.
#include <gtest/gtest.h>

#include <thread>

#include "VivirovVizivurad/Appearance/Appearance.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "tests/Chat/FakeServices.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

inline ChatMessage chatRow(Role role, std::string content = "") {
    ChatMessage m;
    m.id = UUID::random();
    m.role = role;
    m.content = std::move(content);
    return m;
}

inline ChatMessage toolRow(std::string name, std::optional<std::string> result, bool executing) {
    ChatMessage m = chatRow(Role::toolCall);
    m.toolName = std::move(name);
    m.toolArgsPreview = "ls";
    m.toolResult = std::move(result);
    m.toolExecuting = executing;
    return m;
}

class ColumnFixture : public ::testing::Test {
protected:
    ColumnFixture() {
        qtApp();
        AgentActivityModel::shared();
        SwarmOrchestrator::shared();
        VizivuradEngine::shared();
        Appearance::shared().setTheme(ThemeKind::midnight);
        ReduceMotion::force(true);
        env.set("HOME", dir.path())
            .set("XDG_CONFIG_HOME", dir.file("config"))
            .set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent")
            .set("VIVIROV_PROVIDER", "anthropic")
            .set("VIVIROV_SHOW_RECALL", std::nullopt)
            .set("VIVIROV_SHOW_LEGACY_ENGINES", std::nullopt)
            .set("VIVIROV_DEFAULT_ASK", std::nullopt);
        std::thread([&] { services.prepare(); }).join();
        vm = std::make_unique<QuintoraViewModel>(services);
    }
    ~ColumnFixture() override { ReduceMotion::force(std::nullopt); }

    PillarContext& pillar() { return vm->chatContext(); }

    ScopedEnv env;
    TempDir dir;
    FakeServices services{dir};
    std::unique_ptr<QuintoraViewModel> vm;
};

} // namespace vivirov::test
