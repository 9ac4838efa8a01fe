#pragma once
// A test suite on a second-generation engine over the tiny DeepSeek-V4 model:
// one model (with om2 packs for every expert, so routing decides what each
// token computes) for the whole suite, a fresh engine handle per test.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/include/vm_engine_v2.h"
#include "engine/vm_v2/engine_wrapper.h"
#include "tests/support/DeepSeekV4Fixture.h"
#include "tests/support/DeepSeekV4Packs.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

class DeepSeekV4EngineSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        model_ = new DeepSeekV4Model(writeDeepSeekV4Model(dir_->path(), "f3"));
        std::filesystem::create_directories(dir_->path() + "/om2");
        writeDeepSeekV4Packs(*model_, dir_->path() + "/om2");
    }
    static void TearDownTestSuite() {
        delete model_;
        delete dir_;
    }
    void SetUp() override {
        // As root the default wired expert ring (8 GiB) would really be
        // locked in memory: these models get a small one.
        env_.set("VEZEV_OM2_DIR", dir_->path() + "/om2").set("VIVIROV_UVM_RING_MB", "4");
        w = vivirov_vm_v2_create(model_->path().c_str());
        ASSERT_NE(w, nullptr);
    }
    void TearDown() override { vivirov_vm_v2_destroy(w); }

    static inline TempDir* dir_ = nullptr;
    static inline DeepSeekV4Model* model_ = nullptr;
    ScopedEnv env_;
    EngineWrapper* w = nullptr;
};

} // namespace vivirov::test
