#include "tests/HostTools/TestHome.h"

#include <cstdlib>
#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace vivirov::test {

namespace {

class HomeEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        home_ = std::make_unique<TempDir>();
        ::setenv("HOME", home_->path().c_str(), 1); // before any test starts a thread
    }
    void TearDown() override { home_.reset(); }
    std::unique_ptr<TempDir> home_;
};

HomeEnvironment* const environment =
    static_cast<HomeEnvironment*>(::testing::AddGlobalTestEnvironment(new HomeEnvironment));

} // namespace

const std::string& testHome() { return environment->home_->path(); }

} // namespace vivirov::test
