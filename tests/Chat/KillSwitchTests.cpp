#include <gtest/gtest.h>


#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>

#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/CoWork/DispatchManager.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "tests/Chat/BuiltController.h"
#include "tests/Chat/TurnFixture.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {
namespace {

const std::string kStopped = "\xE2\x96\xA0 hard-stopped (kill switch)";
const std::string kKillLine = "[vivirov] KILL SWITCH engaged \xE2\x80\x94 generation cancelled (session torn down by "
                              "the cancelled task on its own actor)\n";

size_t countOf(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}

using KillSwitchIdle = BuiltController;

TEST_F(KillSwitchIdle, WithNothingRunningStillReportsAndResetsTheMeter) {
    SwarmOrchestrator::shared().noteToken("some tokens");
    StderrCapture err;
    vm->hardStop();
    EXPECT_EQ(vm->lastStats(), kStopped);
    EXPECT_EQ(countOf(err.text(), kKillLine), 1u);
    EXPECT_EQ(qtWaitUntil([] { return SwarmOrchestrator::shared().tps() == 0; }), true);
    EXPECT_FALSE(vm->anyStreaming());
}

using ModelSwap = BuiltController;

TEST_F(ModelSwap, RefusesOrSwapsAndReportsTheEnginesStatus) {
    std::vector<std::string> statuses;
    QObject::connect(vm.get(), &QuintoraViewModel::engineStatusChanged,
                     [&] { statuses.push_back(vm->engineStatus()); });
    auto swaps = [&] {
        size_t n = 0;
        for (const auto& entry : services.log->snapshot()) n += entry.starts_with("inproc.swap");
        return n;
    };
    const std::string original = vm->currentModelPath();

    // The file in use: back to the chat route, nothing else.
    vm->setRoute(QuintoraViewModel::Route::models);
    vm->swapModel(original);
    EXPECT_EQ(vm->route(), QuintoraViewModel::Route::chat);
    EXPECT_TRUE(statuses.empty());

    // A streaming turn on either pillar keeps its engine.
    for (PillarContext* pillar : {&vm->chatContext(), &vm->coworkContext()}) {
        pillar->setStreaming(true);
        vm->swapModel(dir.file("other.gguf"));
        EXPECT_FALSE(vm->isSwapping());
        pillar->setStreaming(false);
    }

    // A missing file ends the swap with the engine's text; the path stays.
    vm->swapModel(dir.file("missing.gguf"));
    EXPECT_TRUE(vm->isSwapping());
    ASSERT_TRUE(qtWaitUntil([&] { return !vm->isSwapping(); }));
    EXPECT_EQ(vm->engineStatus(), "model GGUF not found");
    EXPECT_EQ(vm->currentModelPath(), original);

    // Success, with a second swap asked for meanwhile ignored.
    const std::string next = dir.file("next.gguf");
    std::ofstream(next) << "GGUF";
    statuses.clear();
    StderrCapture err;
    vm->swapModel(next);
    vm->swapModel(dir.file("missing.gguf"));
    ASSERT_TRUE(qtWaitUntil([&] { return !vm->isSwapping(); }));
    EXPECT_EQ(statuses, (std::vector<std::string>{"loading\xE2\x80\xA6", "loading next.gguf\xE2\x80\xA6", "ready"}));
    EXPECT_EQ(vm->currentModelPath(), next);
    EXPECT_EQ(swaps(), 2u);
    EXPECT_EQ(countOf(err.text(), "[vivirov] hot-swapped model \xE2\x86\x92 next.gguf\n"), 1u);
}

// An agentic turn in ask mode whose two parallel shell calls wait on the
// executor's cards, a shell command of the executor, a running and a queued
// co-work job: the kill switch ends them all at once.
class KillSwitch : public TurnFixture {};

TEST_F(KillSwitch, EndsEveryTurnProcessRequestAndJobAndTheNextSendWorks) {
    auto& vm = build();
    vm.setAgentMode(AgentMode::agent);
    vm.setPermissionMode(QuintoraViewModel::PermissionMode::ask);

    std::mutex jobMutex;
    std::condition_variable_any jobEnd;
    vm.dispatchManager().setRunner([&](const Dispatch& job, std::stop_token stop) {
        std::unique_lock lock(jobMutex);
        jobEnd.wait(lock, stop, [] { return false; });
        postToGui([&vm, id = job.id] {
            vm.dispatchManager().update(id, [](Dispatch& d) {
                d.status = Dispatch::Status::cancelled;
                d.activity = "Cancelled";
            });
        });
    });
    vm.dispatchManager().enqueue("running job");
    ASSERT_TRUE(qtWaitUntil([&] { return vm.dispatchManager().runningID().has_value(); }));
    vm.dispatchManager().enqueue("queued job");

    const std::string first = dir.file("first-ran"), second = dir.file("second-ran");
    enqueue(sseStream({sseToolCall(0, "c1", "execute_bash", json::dump(json::Value{{"command", "touch " + first}})),
                       sseToolCall(1, "c2", "execute_bash", json::dump(json::Value{{"command", "touch " + second}})),
                       sseFinish("tool_calls", 5, 5)}));
    vm.setInput("run both");
    vm.send();
    // The loop asks once per call; then each running call asks the executor's card.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(qtWaitUntil([&] { return vm.pendingCommand().has_value(); }));
        vm.resolvePermission(vm.pendingCommand()->id, true);
    }
    ASSERT_TRUE(qtWaitUntil([&] { return vm.permissionGate().waitingCount() == 2; }));

    const std::string pidFile = dir.file("sleep.pid");
    auto sleeper = std::async(std::launch::async, [&] {
        return vm.toolExecutor().registry().runBash("echo $$ > " + pidFile + "; exec sleep 30", 0);
    });
    int pgid = 0;
    ASSERT_TRUE(qtWaitUntil([&] { return (std::ifstream(pidFile) >> pgid) && pgid > 0; }));

    StderrCapture err;
    vm.hardStop();
    EXPECT_FALSE(vm.pendingCommand().has_value());
    EXPECT_EQ(vm.permissionGate().waitingCount(), 0u);
    EXPECT_FALSE(vm.anyStreaming());
    EXPECT_EQ(vm.lastStats(), kStopped);
    EXPECT_EQ(vm.dispatchManager().dispatches()[0].status, Dispatch::Status::cancelled) << "the queued job";

    ASSERT_EQ(sleeper.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(sleeper.get().signaled);
    EXPECT_TRUE(qtWaitUntil([&] { return ::kill(-pgid, 0) != 0 && errno == ESRCH; }));
    EXPECT_TRUE(qtWaitUntil([&] { return vm.dispatchManager().active().empty(); })) << "the running job";
    // Refused requests run nothing, also once the stopped turn has wound down.
    qtWaitUntil([] { return false; }, 300);
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_FALSE(std::filesystem::exists(second));
    EXPECT_FALSE(vm.pendingCommand().has_value());
    EXPECT_EQ(countOf(err.text(), kKillLine), 1u);

    enqueue(sseStream({sseContent("Back again."), sseFinish("stop", 1, 1)}));
    vm.setInput("again");
    vm.send();
    ASSERT_TRUE(turnEnded(vm.chatContext()));
    EXPECT_EQ(rowTexts(vm.chatContext()).back(), "assistant:Back again.");
}

} // namespace
} // namespace vivirov::test
