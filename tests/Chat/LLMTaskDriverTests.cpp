#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "VivirovVizivurad/Chat/LLMTaskDriver.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "tests/Chat/BuiltController.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {
namespace {

class TaskDriver : public BuiltController {
protected:
    // Runs one attempt on a verifier-like thread without pumping the GUI
    // thread: it only comes back if the attempt did not need the GUI.
    static bool returnsWithoutTheGui(LLMTaskDriver& driver, std::stop_token token) {
        auto done = std::async(std::launch::async, [&] { driver.attempt("earlier failure", token); });
        return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }
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
