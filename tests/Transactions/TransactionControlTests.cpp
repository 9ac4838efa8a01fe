#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <stop_token>
#include <thread>

#include "tests/Transactions/ScriptedSession.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;
using namespace vivirov::test;
using TS = TransactionState;

namespace {

const std::string begin = "begin prompt";

// Holds every verdict until the test releases it.
class GatedVerifier : public CodeVerifier {
public:
    ValidationResult validateCodeBlock(const std::string&, const std::string&) override {
        released_.wait();
        return {};
    }
    void release() { gate_.set_value(); }

private:
    std::promise<void> gate_;
    std::shared_future<void> released_ = gate_.get_future().share();
};

} // namespace

// cancel() ends the generation before its next piece; the open block is
// committed with the note; every later run of the same manager ends at once.
TEST(InferenceTransactions, CancelInsideABlockCommitsItAndSticks) {
    TransactionRig rig({"Hi ```py\n", "x = (1,\n", "2)\n", "```", "never"}, 2);
    rig.session->beforePiece = [&](size_t index) {
        if (index == 1) rig.manager->cancel();
    };
    rig.run();
    EXPECT_EQ(rig.session->decodes(), 2u);
    EXPECT_EQ(rig.texts, (std::vector<std::string>{
                             "Hi ", "```py\nx = (1,\n[SYSTEM: Code validation failed after 3 attempts]\n```"}));
    EXPECT_EQ(rig.session->log(), (std::vector<std::string>{begin, "snapshot 1", "release", "release", "end"}));
    EXPECT_EQ(rig.states.back(), TS::idle());

    rig.states.clear();
    rig.run({{std::vector<uint8_t>(3, 0), 1, 1}});
    EXPECT_EQ(rig.session->decodes(), 2u);
    EXPECT_EQ(rig.session->log(), (std::vector<std::string>{begin, "snapshot 1", "release", "release", "end", begin,
                                                           "image 1x1:3", "release", "end"}));
    EXPECT_EQ(rig.states, (std::vector<TS>{TS::decodingProse(), TS::decodingProse(), TS::idle()}));
}

// A stop request ends one run the same way, but only that run.
TEST(InferenceTransactions, StopTokenEndsOnlyItsRun) {
    TransactionRig rig({"Some prose that goes", " on and on", " and on"}, 2);
    std::stop_source stop;
    rig.session->beforePiece = [&](size_t index) {
        if (index == 0) stop.request_stop();
    };
    rig.run({}, stop.get_token());
    EXPECT_EQ(rig.session->decodes(), 1u);
    EXPECT_EQ(rig.texts, (std::vector<std::string>{"Some pro", "se that goes"}));

    rig.session->beforePiece = nullptr;
    rig.run();
    EXPECT_EQ(rig.session->decodes(), 4u); // two more pieces, then the end
}

// While the run waits for the verifier, the state can be read and the run
// cancelled from another thread; the run stops before asking for more text.
TEST(InferenceTransactions, StateAndCancelAreServedWhileValidating) {
    auto session = std::make_shared<ScriptedSession>(std::vector<std::string>{"```py\nx = 1\n```", "more", "more"});
    auto verifier = std::make_shared<GatedVerifier>();
    std::mutex mutex;
    std::vector<std::string> texts;
    InferenceTransactionManager manager(
        session, verifier, 2,
        [&](const std::string& text) {
            std::lock_guard lock(mutex);
            texts.push_back(text);
        },
        nullptr, nullptr);

    std::thread runner([&] { manager.run("prompt", 512, 0.f, 1.f, 0); });
    EXPECT_TRUE(waitUntil([&] { return manager.state() == TS::validating("py"); }));
    manager.cancel();
    verifier->release();
    runner.join();

    EXPECT_EQ(session->decodes(), 1u);
    EXPECT_EQ(texts, (std::vector<std::string>{"```py\nx = 1\n```"}));
    EXPECT_EQ(manager.state(), TS::idle());
}

// A tool that fails is answered like any failed tool, and the generation goes on.
TEST(InferenceTransactions, FailingToolIsAnsweredWithAnErrorText) {
    auto session = std::make_shared<ScriptedSession>(
        std::vector<std::string>{"<tool_call>{\"tool\":\"execute_bash\"}</tool_call>", "Done."});
    std::vector<std::string> texts;
    std::vector<TS> states;
    InferenceTransactionManager manager(
        session, std::make_shared<RecordingVerifier>(), 2, [&](const std::string& text) { texts.push_back(text); },
        [&](const TS& state) { states.push_back(state); },
        [](const std::string&) -> std::string { throw std::runtime_error("boom"); });
    manager.run("prompt", 512, 0.f, 1.f, 0);
    EXPECT_EQ(session->log(), (std::vector<std::string>{begin, "inject \n<tool_result>\nerror: boom\n</tool_result>\n",
                                                       "release", "end"}));
    EXPECT_EQ(texts, (std::vector<std::string>{"Done."}));
    EXPECT_EQ(states, (std::vector<TS>{TS::decodingProse(), TS::executingTool("Bash"), TS::decodingProse(),
                                       TS::decodingProse(), TS::decodingProse(), TS::idle()}));
}
