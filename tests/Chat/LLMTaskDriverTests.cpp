#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "VivirovVizivurad/Chat/LLMTaskDriver.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "tests/Chat/FakeServices.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {
namespace {

class TaskDriver : public ::testing::Test {
protected:
    TaskDriver() {
        qtApp();
        AgentActivityModel::shared();
        env.set("HOME", dir.path())
            .set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent")
            .set("VIVIROV_PROVIDER", "anthropic");
        std::thread([&] { services.prepare(); }).join();
        vm = std::make_unique<QuintoraViewModel>(services);
    }

    // Runs one attempt on a verifier-like thread without pumping the GUI
    // thread: it only comes back if the attempt did not need the GUI.
    static bool returnsWithoutTheGui(LLMTaskDriver& driver, std::stop_token token) {
        auto done = std::async(std::launch::async, [&] { driver.attempt("earlier failure", token); });
        return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }

    ScopedEnv env;
    TempDir dir;
    FakeServices services{dir};
    std::unique_ptr<QuintoraViewModel> vm;
};

TEST_F(TaskDriver, ReturnsAtOnceWhenTheControllerIsGoneOrTheTaskCancelled) {
    LLMTaskDriver cancelledDriver(*vm, "make the tests pass");
    std::stop_source cancelled;
    cancelled.request_stop();
    EXPECT_TRUE(returnsWithoutTheGui(cancelledDriver, cancelled.get_token()));

    LLMTaskDriver orphan(*vm, "make the tests pass");
    vm.reset();
    EXPECT_TRUE(returnsWithoutTheGui(orphan, {}));
    EXPECT_EQ(orphan.objective(), "make the tests pass");
}

TEST_F(TaskDriver, AnAttemptVisitsTheControllerOnTheGuiThread) {
    LLMTaskDriver driver(*vm, "objective");
    std::atomic<bool> returned{false};
    std::thread verifier([&] {
        driver.attempt(std::nullopt, {});
        returned = true;
    });
    EXPECT_TRUE(qtWaitUntil([&] { return returned.load(); }));
    verifier.join();
    driver.attempt(std::nullopt, {}); // on the GUI thread itself: no wait on itself
}

} // namespace
} // namespace vivirov::test
