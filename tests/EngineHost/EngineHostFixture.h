#pragma once
// A private home and data folder for engine-host tests, with every variable
// the host reads cleared, and helpers for model files of any size that take
// no disk space (sparse files).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/Models/ModelDownloadManager.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kGiB = 1024 * kMiB;

class EngineHostFixture : public ::testing::Test {
protected:
    EngineHostFixture() {
        env_.set("HOME", home_.path())
            .set("XDG_DATA_HOME", home_.file("data"))
            .set("QUINTORA_MODEL_PATH", std::nullopt)
            .set("VIVIROV_MODEL_PATH", std::nullopt)
            .set("VIVIROV_VM_MODEL", std::nullopt)
            .set("VIVIROV_FASTLANE", std::nullopt)
            .set("VIVIROV_VM_MLOCK", "0");
    }

    // A file of `bytes` bytes at `relative` under the home (parents created);
    // `head` is written at its start.
    std::string file(const std::string& relative, int64_t bytes, const std::string& head = "") const {
        const std::string path = home_.file(relative);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        home_.write(relative, head);
        std::filesystem::resize_file(path, uintmax_t(std::max<int64_t>(bytes, int64_t(head.size()))));
        return path;
    }
    std::string link(const std::string& relative, const std::string& target) const {
        const std::string path = home_.file(relative);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::filesystem::create_symlink(target, path);
        return path;
    }
    // The first bytes of a GGUF file naming its architecture.
    static std::string ggufHead(const std::string& arch) {
        return GGUFWriter().u32("general.alignment", 32).str("general.architecture", arch).bytes();
    }
    std::string modelsDir() const { return ModelDownloadManager::modelsDir(); }

    TempDir home_;
    ScopedEnv env_;
};

} // namespace vivirov::test
