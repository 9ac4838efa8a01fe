// Stopping a generation from another thread, reading back why a create or
// infer did not complete, and the engine's thread count, on real engines
// over small written models.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/include/vm_engine.h"
#include "engine/vm_cabi/parallel_for.h"
#include "tests/support/ScopedEnv.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;

namespace {

std::string lastError(int32_t* status = nullptr) {
    char buf[256];
    int32_t s = vm_engine_last_error(buf, sizeof buf);
    if (status) *status = s;
    return buf;
}

class VMEngineStopTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = QwenModel(QwenShape{}).writer().write(dir_.file("model.gguf"));
        engine_ = vm_engine_create(path_.c_str());
        ASSERT_NE(engine_, nullptr);
    }
    void TearDown() override { vm_engine_free(engine_); }

    std::vector<std::string> run(const char* prompt, int32_t n, int32_t* result = nullptr) {
        std::vector<std::string> pieces;
        int32_t r = vm_engine_infer(
            engine_, prompt, n, [](const char* p, void* u) { static_cast<std::vector<std::string>*>(u)->push_back(p); },
            &pieces);
        if (result) *result = r;
        return pieces;
    }

    ScopedEnv env_{"VIVIROV_VM_MLOCK", "0"};
    TempDir dir_;
    std::string path_;
    vm_engine* engine_ = nullptr;
};

} // namespace

// Another thread asks for the stop while piece 3 is being delivered: the
// generation ends before the next step, with the three pieces it delivered.
TEST_F(VMEngineStopTest, AStopFromAnotherThreadEndsTheGenerationWithinOneTokenStep) {
    const std::vector<std::string> full = run("hello world", 12);
    ASSERT_EQ(full.size(), 12u);

    struct Handshake {
        std::mutex m;
        std::condition_variable cv;
        int delivered = 0;
        bool stopped = false;
        std::vector<std::string> pieces;
    } h;
    std::thread stopper([&] {
        std::unique_lock lock(h.m);
        h.cv.wait(lock, [&] { return h.delivered == 3; });
        EXPECT_EQ(vm_engine_request_stop(engine_), 1);
        h.stopped = true;
        h.cv.notify_all();
    });
    int32_t result = vm_engine_infer(
        engine_, "hello world", 12,
        [](const char* p, void* u) {
            auto& hs = *static_cast<Handshake*>(u);
            std::unique_lock lock(hs.m);
            hs.pieces.push_back(p);
            if (++hs.delivered == 3) {
                hs.cv.notify_all();
                hs.cv.wait(lock, [&] { return hs.stopped; });
            }
        },
        &h);
    stopper.join();
    EXPECT_EQ(result, 3);
    EXPECT_EQ(h.pieces, std::vector<std::string>(full.begin(), full.begin() + 3));
    int32_t status = -1;
    EXPECT_EQ(lastError(&status), "stopped");
    EXPECT_EQ(status, VM_ENGINE_STOPPED);

    // The next call is whole, and answers as an engine that was never stopped.
    int32_t again = 0;
    EXPECT_EQ(run("hello world", 12, &again), full);
    EXPECT_EQ(again, 12);
    EXPECT_EQ(lastError(&status), "");
    EXPECT_EQ(status, VM_ENGINE_OK);
}

TEST_F(VMEngineStopTest, ALateStopLeavesTheNextCallAlone) {
    const std::vector<std::string> full = run("hello world", 6);
    EXPECT_EQ(vm_engine_request_stop(engine_), 0); // nothing runs: dropped
    EXPECT_EQ(run("hello world", 6), full);

    // A stop asked from inside the last piece of one call is spent on that call.
    struct Ctx {
        vm_engine* e;
        int n = 0;
    } ctx{engine_};
    int32_t r = vm_engine_infer(
        engine_, "the user", 4,
        [](const char*, void* u) {
            auto& c = *static_cast<Ctx*>(u);
            if (++c.n == 4) vm_engine_request_stop(c.e);
        },
        &ctx);
    EXPECT_EQ(r, 4);
    EXPECT_EQ(run("hello world", 6), full);
    EXPECT_EQ(vm_engine_request_stop(nullptr), -1);
}

// A stop that lands while the prompt runs leaves the session consistent: the
// next call reuses only the positions that ran and answers as a fresh engine.
TEST_F(VMEngineStopTest, AStopDuringThePromptKeepsTheSessionConsistent) {
    std::string prompt;
    for (int i = 0; i < 40; ++i) prompt += "hello world the user ";
    vm_engine* fresh = vm_engine_create(path_.c_str());
    std::vector<std::string> expected;
    vm_engine_infer(fresh, prompt.c_str(), 5,
                    [](const char* p, void* u) { static_cast<std::vector<std::string>*>(u)->push_back(p); }, &expected);
    vm_engine_free(fresh);

    std::atomic<bool> done{false};
    std::thread stopper([&] {
        while (!done && vm_engine_request_stop(engine_) != 1) std::this_thread::yield();
    });
    int32_t result = -2;
    run(prompt.c_str(), 5, &result);
    done = true;
    stopper.join();
    int32_t status = -1;
    lastError(&status);
    if (status == VM_ENGINE_STOPPED) {
        EXPECT_LE(result, 1);
    }
    EXPECT_EQ(run(prompt.c_str(), 5), expected);
}

TEST(VMEngineLastError, EachFailureIsReadBackOnItsOwnThread) {
    TempDir dir;
    const std::string text = dir.write("notes.txt", "plain text, no model");
    const std::string broken = dir.write("broken.gguf", "GGUF and then nothing");
    struct Case {
        const char* path;
        std::string reason;
    };
    const Case cases[] = {
        {nullptr, "null path"},
        {"/nonexistent/model.gguf", "cannot open /nonexistent/model.gguf"},
        {text.c_str(), "rejected " + text + " \xE2\x80\x94 not a GGUF file"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vm_engine_create(c.path), nullptr);
        int32_t status = -1;
        EXPECT_EQ(lastError(&status), c.reason);
        EXPECT_EQ(status, VM_ENGINE_FAILED);
    }
    EXPECT_EQ(vm_engine_create(broken.c_str()), nullptr);
    EXPECT_FALSE(lastError().empty());

    EXPECT_EQ(vm_engine_infer(nullptr, "x", 1, nullptr, nullptr), -1);
    EXPECT_EQ(lastError(), "null engine");

    // Another thread's outcome is its own.
    std::thread([] {
        int32_t status = -1;
        EXPECT_EQ(lastError(&status), "");
        EXPECT_EQ(status, VM_ENGINE_OK);
    }).join();

    // The text is cut to the buffer; a null buffer still gives the status.
    char small[5];
    EXPECT_EQ(vm_engine_last_error(small, sizeof small), VM_ENGINE_FAILED);
    EXPECT_STREQ(small, "null");
    EXPECT_EQ(vm_engine_last_error(nullptr, 0), VM_ENGINE_FAILED);
}

// The count is fixed once the engine has used it: a later offer changes nothing.
TEST(VMEngineThreads, TheThreadCountIsFixedByTheFirstParallelStep) {
    std::atomic<int> ran{0};
    vm::parallel_for(64, [&](size_t) { ++ran; });
    EXPECT_EQ(ran.load(), 64);
    const size_t fixed = vm::parallel_threads();
    EXPECT_GE(fixed, 1u);
    EXPECT_EQ(vm_engine_set_threads(int32_t(fixed) + 3), int32_t(fixed));
    EXPECT_EQ(vm::parallel_threads(), fixed);
}
