#include <gtest/gtest.h>

#include <cstdlib>

#include "VivirovVizivurad/EngineHost/HardwareProfile.h"

using vivirov::HardwareProfile;

namespace {
constexpr uint64_t GiB = 1ull << 30;

struct EnvGuard {
    ~EnvGuard() {
        unsetenv("VIVIROV_HW_PROFILE");
        unsetenv("VIVIROV_LONG_CTX");
    }
};
} // namespace

TEST(HardwareProfile, TierByMemoryAndOverride) {
    EnvGuard guard;
    struct Case {
        const char* override; // nullptr: unset
        uint64_t bytes;
        const char* label;
        int64_t gb;
    };
    const Case cases[] = {
        {nullptr, 12 * GiB - GiB / 100, "8GB-safe", 11},
        {nullptr, 12 * GiB, "16GB", 12},
        {nullptr, 20 * GiB - 1, "16GB", 19},
        {nullptr, 20 * GiB, "24GB-interactive", 20},
        {"SMALL", 64 * GiB, "8GB-safe", 64},
        {"Small", 4 * GiB, "8GB-safe", 8},
        {"24GB", 8 * GiB, "24GB-interactive", 24},
        {"lab", 8 * GiB, "24GB-interactive", 24},
        {"16g", 32 * GiB, "16GB", 32},
        {"16g", 8 * GiB, "16GB", 16},
        {" small", 32 * GiB, "24GB-interactive", 32},
        {"8 gb", 8 * GiB, "8GB-safe", 8},
        {"xl", 16 * GiB, "16GB", 16},
        {"", 16 * GiB, "16GB", 16},
    };
    for (const auto& c : cases) {
        if (c.override) setenv("VIVIROV_HW_PROFILE", c.override, 1);
        else unsetenv("VIVIROV_HW_PROFILE");
        HardwareProfile p = HardwareProfile::detect(c.bytes);
        EXPECT_EQ(p.label, c.label) << (c.override ? c.override : "(unset)") << " " << c.bytes;
        EXPECT_EQ(p.totalRAMGB, c.gb) << (c.override ? c.override : "(unset)") << " " << c.bytes;
    }
}

TEST(HardwareProfile, LongContextOnlyChangesTheLargeTier) {
    EnvGuard guard;
    HardwareProfile interactive = HardwareProfile::detect(24 * GiB);
    EXPECT_EQ(interactive, HardwareProfile::large(24));
    EXPECT_EQ(interactive.maxCtx, 65536);
    EXPECT_EQ(interactive.ubatch, 64);
    EXPECT_EQ(interactive.batch, 512);
    setenv("VIVIROV_LONG_CTX", "1", 1);
    HardwareProfile longCtx = HardwareProfile::detect(24 * GiB);
    EXPECT_EQ(longCtx.label, "24GB-longctx");
    EXPECT_EQ(longCtx.maxCtx, 262144);
    EXPECT_EQ(longCtx.kvType, "q1_0");
    EXPECT_EQ(longCtx.ubatch, 256);
    EXPECT_EQ(longCtx.batch, 2048);
    EXPECT_EQ(HardwareProfile::detect(16 * GiB), HardwareProfile::medium(16));
    setenv("VIVIROV_LONG_CTX", "true", 1);
    EXPECT_EQ(HardwareProfile::detect(24 * GiB).label, "24GB-interactive");
}

TEST(HardwareProfile, EnvironmentOfTheSmallTier) {
    auto env = HardwareProfile::small(8).env();
    EXPECT_EQ(env.size(), 11u);
    EXPECT_EQ(env["RIZERU_BATCH"], "256");
    EXPECT_EQ(env["RIZERU_UBATCH"], "64");
    EXPECT_EQ(env["VIVIROV_ENABLE_ROZAZU"], "0");
    EXPECT_EQ(env["VIVIROV_HW_LABEL"], "8GB-safe");
    EXPECT_EQ(env["VIVIROV_N_CTX"], "32768");
    EXPECT_NE(HardwareProfile::small(8), HardwareProfile::small(9));
}

TEST(HardwareProfile, ReadsThisMachinesMemory) {
    EXPECT_GT(HardwareProfile::physicalMemoryBytes(), 256ull << 20);
}
