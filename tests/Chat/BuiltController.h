#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "tests/Chat/FakeServices.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

// A controller built over fake services in a temporary home, with a cloud
// provider active and no key store.
class BuiltController : public ::testing::Test {
protected:
    BuiltController() {
        qtApp();
        AgentActivityModel::shared();
        env.set("HOME", dir.path())
            .set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent")
            .set("VIVIROV_PROVIDER", "anthropic");
        std::thread([&] { services.prepare(); }).join();
        vm = std::make_unique<QuintoraViewModel>(services);
    }

    ScopedEnv env;
    TempDir dir;
    FakeServices services{dir};
    std::unique_ptr<QuintoraViewModel> vm;
};

} // namespace vivirov::test
