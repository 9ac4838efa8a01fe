#include <gtest/gtest.h>

#include <map>
#include <string>

#include "VivirovKit/Agentic/AgenticLoopBudget.h"
#include "VivirovKit/Agentic/PowerSource.h"
#include "tests/support/TempDir.h"

namespace vivirov {
namespace {

using Supply = std::map<std::string, std::string>; // attribute file -> contents

void writeSupplies(const test::TempDir& root, const std::map<std::string, Supply>& supplies) {
    for (const auto& [name, attributes] : supplies)
        for (const auto& [file, contents] : attributes)
            root.write(name + "/" + file, contents + "\n");
}

TEST(SystemPowerSource, ReadsThePowerSupplyClass) {
    const Supply acOnline{{"type", "Mains"}, {"online", "1"}};
    const Supply acOffline{{"type", "Mains"}, {"online", "0"}};
    const Supply usbOnline{{"type", "USB"}, {"online", "1"}};
    const Supply discharging{{"type", "Battery"}, {"status", "Discharging"}};
    const Supply charging{{"type", "Battery"}, {"status", "Charging"}};
    const Supply full{{"type", "Battery"}, {"status", "Full"}};
    const Supply mouse{{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"}};
    struct Case {
        const char* name;
        std::map<std::string, Supply> supplies;
        bool onBattery;
    } cases[] = {
        {"no supplies (a desktop or a container)", {}, false},
        {"adapter plugged in", {{"AC", acOnline}, {"BAT0", discharging}}, false},
        {"adapter unplugged", {{"AC", acOffline}, {"BAT0", discharging}}, true},
        {"battery only, discharging", {{"BAT0", discharging}}, true},
        {"battery charging", {{"AC", acOffline}, {"BAT0", charging}}, false},
        {"battery full", {{"AC", acOffline}, {"BAT0", full}}, false},
        {"powered over USB", {{"ucsi-source-psy-1", usbOnline}, {"BAT0", discharging}}, false},
        {"only a peripheral's battery", {{"hidpp_battery_0", mouse}}, false},
        {"unreadable type", {{"BAT0", Supply{{"status", "Discharging"}}}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir root;
        writeSupplies(root, c.supplies);
        EXPECT_EQ(SystemPowerSource(root.path()).onBattery(), c.onBattery);
    }
    EXPECT_FALSE(SystemPowerSource("/nonexistent/power_supply").onBattery());
}

TEST(SystemPowerSource, ReadsAfreshAndFeedsTheBudget) {
    test::TempDir root;
    writeSupplies(root, {{"AC", {{"type", "Mains"}, {"online", "0"}}},
                         {"BAT0", {{"type", "Battery"}, {"status", "Discharging"}}}});
    const SystemPowerSource power(root.path());
    EXPECT_TRUE(power.onBattery());
    EXPECT_EQ(AgenticLoopBudget(10, power).maxAttempts(), 5);

    root.write("AC/online", "1\n");
    EXPECT_FALSE(power.onBattery());
    EXPECT_EQ(AgenticLoopBudget(10, power).maxAttempts(), 10);
}

} // namespace
} // namespace vivirov
