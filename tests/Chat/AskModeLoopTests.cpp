#include <gtest/gtest.h>

#include <filesystem>

#include "VivirovKit/Agentic/AgenticLoop.h"
#include "VivirovKit/Agentic/SentinelDaemon.h"
#include "VivirovKit/Tools/ToolRegistry.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "tests/Chat/PermissionFixture.h"
#include "tests/support/ScriptedProvider.h"

namespace vivirov::test {
namespace {

using AskModeLoop = PermissionFixture;

// In ask mode the real agent loop, offered the controller's catalogue, runs
// one round that calls every tool that is not read-only. Each operation has a
// recorder (a file for the shell and file tools); nothing may be recorded
// before the user's Execute, nor at all after Deny.
TEST_F(AskModeLoop, NoGatedToolReachesTheSystemWithoutExecute) {
    const auto bashMarker = dir.file("bash-ran");
    const auto written = dir.file("written.txt");
    std::vector<ProviderToolCall> calls;
    for (const auto& schema : vm->toolRegistry().schema()) {
        if (ToolExecutionManager::readOnlyTools().contains(schema.name)) continue;
        std::map<std::string, std::string> args{{"path", dir.file(schema.name)}, {"query", "q"}};
        if (schema.name == "execute_bash") args = {{"command", "touch " + bashMarker}};
        if (schema.name == "write_file") args = {{"path", written}, {"content", "x"}};
        if (schema.name == "git_clone_repo") args = {{"url", "https://github.com/a/b"}};
        calls.push_back({"c-" + schema.name, schema.name, args});
    }
    ASSERT_EQ(calls.size(), 19u);

    const auto recorded = [&] {
        size_t n = services.swarm->lines().size() + services.cloner->lines().size() +
                   services.documents->lines().size() + services.research->lines().size() +
                   (services.fleet->lines().empty() ? 0 : 1) + std::filesystem::exists(bashMarker) +
                   std::filesystem::exists(written);
        return n;
    };
    SentinelDaemon sentinel;
    AgenticLoop::Probes probes;
    probes.sentinel = &sentinel;
    probes.swapUsedMB = [] { return std::optional<double>(0.0); };
    probes.schedulerYield = [] {};
    std::shared_ptr<ToolRegistry> registry(std::shared_ptr<void>(), &vm->toolRegistry());

    for (bool approve : {false, true}) {
        auto provider = std::make_shared<ScriptedProvider>(
            std::vector<ScriptedTurn>{ScriptedTurn::calls(calls), ScriptedTurn::text("done")});
        AgenticLoop loop(provider, registry, vm->makePermissionGate(), {}, 4, AgenticLoop::defaultPersona, {}, probes);
        CapabilityManifest manifest;
        manifest.tools = registry->schema();
        auto run = std::async(std::launch::async, [&] { return loop.run("do everything", {}, manifest, 0.2); });

        size_t executes = 0, cards = 0;
        const auto done = [&] { return run.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
        while (true) {
            ASSERT_TRUE(qtWaitUntil([&] { return done() || vm->pendingCommand().has_value(); }));
            if (!vm->pendingCommand()) break;
            ++cards;
            // One operation per execute at most, counting the fleet as one.
            EXPECT_LE(recorded(), approve ? executes : 0);
            vm->resolvePermission(vm->pendingCommand()->id, approve);
            executes += approve;
        }
        auto result = run.get();
        EXPECT_EQ(result.finalText, "done");
        if (!approve) {
            EXPECT_EQ(cards, 19u);
            EXPECT_EQ(recorded(), 0u);
        } else {
            EXPECT_EQ(cards, 19u + 4u); // the four state-changing executor tools ask twice
            EXPECT_EQ(services.documents->lines().size(), 12u);
            EXPECT_EQ(services.swarm->lines().size(), 1u);
            EXPECT_EQ(services.cloner->lines().size(), 1u);
            EXPECT_EQ(services.research->lines().size(), 1u);
            EXPECT_TRUE(std::filesystem::exists(bashMarker));
            EXPECT_TRUE(std::filesystem::exists(written));
        }
    }
}

} // namespace
} // namespace vivirov::test
