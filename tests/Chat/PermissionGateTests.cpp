#include <gtest/gtest.h>

#include <filesystem>

#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "tests/Chat/PermissionFixture.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {
namespace {

using Mode = QuintoraViewModel::PermissionMode;

ProviderToolCall call(std::string name, std::map<std::string, std::string> args = {}) {
    return {"c-" + name, std::move(name), std::move(args)};
}

using PermissionGateFlow = PermissionFixture;

TEST_F(PermissionGateFlow, ModesReadFromTheirExactRawValues) {
    for (auto mode : {Mode::ask, Mode::accept, Mode::god})
        EXPECT_EQ(QuintoraViewModel::permissionModeFromRaw(QuintoraViewModel::rawValue(mode)), mode);
    EXPECT_EQ(QuintoraViewModel::permissionModeFromRaw("God"), std::nullopt);
    EXPECT_EQ(QuintoraViewModel::permissionModeFromRaw(""), std::nullopt);
    EXPECT_EQ(vm->permissionMode(), Mode::ask);
}

TEST_F(PermissionGateFlow, AskModeShowsTheCardsEachToolGroupNeeds) {
    const auto notes = dir.write("notes.txt", "hello");
    auto gate = vm->makePermissionGate();

    // Read-only: no card at all.
    auto read = onWorker([&] { return loopCall(gate, call("read_file", {{"path", notes}})); });
    EXPECT_EQ(awaitResult(read), "hello");

    // A document tool: the loop's card only.
    auto pdf = onWorker([&] { return loopCall(gate, call("pdf_extract", {{"path", "/docs/a.pdf"}})); });
    auto card = awaitCard();
    EXPECT_EQ(card.toolName, "PDF/Doc");
    EXPECT_EQ(card.command, "/docs/a.pdf");
    EXPECT_TRUE(services.documents->lines().empty());
    vm->resolvePermission(card.id, true);
    EXPECT_EQ(awaitResult(pdf), "did extract '/docs/a.pdf' 80000");

    // execute_bash: the loop's card, then its handler's; Deny on the second.
    const auto marker = dir.file("ran");
    const std::string command = "touch " + marker + "  # " + std::string(100, 'x');
    StderrCapture err;
    auto bash = onWorker([&] { return loopCall(gate, call("execute_bash", {{"command", command}})); });
    card = awaitCard();
    EXPECT_EQ(card.toolName, "Bash");
    EXPECT_EQ(card.command, command);
    vm->resolvePermission(card.id, true);
    ASSERT_TRUE(qtWaitUntil([&] { return vm->pendingCommand() && vm->pendingCommand()->id != card.id; }));
    auto second = *vm->pendingCommand();
    EXPECT_EQ(second.toolName, ToolExecutionManager::toolName(R"({"tool":"execute_bash"})"));
    EXPECT_EQ(second.command, command);
    vm->resolvePermission(second.id, false);
    EXPECT_EQ(awaitResult(bash), "error: command denied by the user via the permission gate");
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_FALSE(vm->pendingCommand());
    EXPECT_NE(err.text().find("[vivirov] tool call DENIED by user: Bash \xE2\x80\x94 " + command.substr(0, 80) + "\n"),
              std::string::npos)
        << err.text();
}

TEST_F(PermissionGateFlow, AcceptAndGodRunWithoutACard) {
    for (auto mode : {Mode::accept, Mode::god}) {
        vm->setPermissionMode(mode);
        int cardChanges = 0;
        auto connection = QObject::connect(vm.get(), &QuintoraViewModel::pendingCommandChanged, [&] { ++cardChanges; });
        const auto marker = dir.file("ran-" + QuintoraViewModel::rawValue(mode));
        auto gate = vm->makePermissionGate();
        auto bash = onWorker([&] { return loopCall(gate, call("execute_bash", {{"command", "touch " + marker}})); });
        awaitResult(bash);
        EXPECT_TRUE(std::filesystem::exists(marker)) << QuintoraViewModel::rawValue(mode);
        EXPECT_EQ(cardChanges, 0);
        QObject::disconnect(connection);
    }
}

TEST_F(PermissionGateFlow, LateDoubleAndUnknownVerdictsAndModeSwitchesChangeNothing) {
    auto gate = vm->makePermissionGate();
    auto asked = onWorker([&] { return gate->requestPermission("Bash", "ls", {}); });
    auto card = awaitCard();
    vm->setPermissionMode(Mode::accept); // only later requests are affected
    vm->resolvePermission(UUID::random(), false);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    ASSERT_EQ(asked.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(vm->pendingCommand(), card);

    vm->resolvePermission(card.id, true);
    vm->resolvePermission(card.id, false);
    EXPECT_EQ(awaitResult(asked), std::optional<bool>(true));
    EXPECT_EQ(vm->permissionGate().waitingCount(), 0u);

    auto next = onWorker([&] { return gate->requestPermission("Bash", "ls", {}); });
    EXPECT_EQ(awaitResult(next), std::optional<bool>(true));
    EXPECT_FALSE(vm->pendingCommand());
}

TEST_F(PermissionGateFlow, RequestsWaitingTogetherAreShownOneAfterAnother) {
    auto gate = vm->makePermissionGate();
    auto first = onWorker([&] { return gate->requestPermission("Write File", "write a", {}); });
    auto firstCard = awaitCard();
    auto second = onWorker([&] { return gate->requestPermission("Bash", "rm b", {}); });
    ASSERT_TRUE(qtWaitUntil([&] { return vm->permissionGate().waitingCount() == 2; }));
    EXPECT_EQ(vm->pendingCommand(), firstCard);

    vm->resolvePermission(firstCard.id, false);
    auto secondCard = awaitCard();
    EXPECT_EQ(secondCard.command, "rm b");
    vm->resolvePermission(secondCard.id, true);
    EXPECT_EQ(awaitResult(first), std::optional<bool>(false));
    EXPECT_EQ(awaitResult(second), std::optional<bool>(true));
    EXPECT_FALSE(vm->pendingCommand());
}

TEST_F(PermissionGateFlow, AStoppedRunIsRefusedAndLeavesTheCard) {
    auto gate = vm->makePermissionGate();
    std::stop_source stop;
    auto asked = onWorker([&] { return gate->approve(call("write_file", {{"path", "/a"}, {"content", "x"}}), stop.get_token()); });
    awaitCard();
    stop.request_stop();
    EXPECT_FALSE(awaitResult(asked));
    EXPECT_TRUE(qtWaitUntil([&] { return !vm->pendingCommand(); }));
    EXPECT_EQ(vm->permissionGate().waitingCount(), 0u);
}

TEST_F(PermissionGateFlow, TheKillSwitchRefusesEverythingWaiting) {
    auto gate = vm->makePermissionGate();
    auto a = onWorker([&] { return gate->requestPermission("Bash", "a", {}); });
    auto b = onWorker([&] { return gate->requestPermission("Bash", "b", {}); });
    ASSERT_TRUE(qtWaitUntil([&] { return vm->permissionGate().waitingCount() == 2; }));
    const auto shown = *vm->pendingCommand();
    vm->permissionGate().denyAll();
    EXPECT_FALSE(vm->pendingCommand());
    EXPECT_EQ(vm->permissionGate().waitingCount(), 0u);
    vm->resolvePermission(shown.id, true); // late: nothing changes
    EXPECT_EQ(awaitResult(a), std::optional<bool>(false));
    EXPECT_EQ(awaitResult(b), std::optional<bool>(false));
}

TEST_F(PermissionGateFlow, VerdictsStopsKillSwitchAndTeardownRacingLeaveNobodyWaiting) {
    auto gate = vm->makePermissionGate();
    std::vector<std::stop_source> stops(6);
    std::vector<std::future<std::optional<bool>>> asked;
    for (auto& stop : stops)
        asked.push_back(onWorker([gate, token = stop.get_token()] { return gate->requestPermission("Bash", "x", token); }));
    ASSERT_TRUE(qtWaitUntil([&] { return vm->permissionGate().waitingCount() >= 2; }));
    // Stops arrive from another thread while the GUI answers, kills and tears down.
    std::thread stopper([&] {
        for (size_t i = 0; i < stops.size(); i += 2) stops[i].request_stop();
    });
    vm->resolvePermission(vm->pendingCommand()->id, true);
    vm->permissionGate().denyAll();
    vm.reset(); // requests still on their way find no controller
    stopper.join();
    for (auto& result : asked) awaitResult(result); // every caller got its one answer
    // With the controller gone, the gate refuses and asks nobody.
    EXPECT_FALSE(gate->approve(call("execute_bash", {{"command", "true"}}), {}));
    EXPECT_FALSE(gate->requestPermission("Bash", "x", {}).has_value());
}

TEST_F(PermissionGateFlow, LoopCardShowsEveryArgumentWithTheFileFirst) {
    EXPECT_EQ(VMPermissionGate::loopCardBody("browser_refresh", {}), "browser_refresh");
    EXPECT_EQ(VMPermissionGate::loopCardBody("pdf_extract", {{"path", "/a.pdf"}}), "/a.pdf");
    EXPECT_EQ(VMPermissionGate::loopCardBody("document_create",
                                             {{"content", "body"}, {"title", "T"}, {"path", "/out.docx"}}),
              "path: /out.docx\ncontent: body\ntitle: T");
    EXPECT_EQ(VMPermissionGate::loopCardBody("document_convert", {{"format", "txt"}, {"output", "/o"}, {"path", "/i"}}),
              "path: /i\noutput: /o\nformat: txt");

    auto gate = vm->makePermissionGate();
    auto unknown = onWorker([&] { return loopCall(gate, call("no_such_tool")); });
    auto card = awaitCard();
    EXPECT_EQ(card.toolName, "no_such_tool");
    EXPECT_EQ(card.command, "no_such_tool");
    vm->resolvePermission(card.id, true);
    EXPECT_NE(awaitResult(unknown).find("error: "), std::string::npos);
}

} // namespace
} // namespace vivirov::test
