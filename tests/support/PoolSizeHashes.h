#pragma once
// Bit-identity across pool sizes: a child test hashes the bits of its float
// results and prints "HASH <16 hex digits>"; the parent runs it once per
// engine thread count and compares the lines.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/ChildTest.h"

namespace vivirov::test {

// FNV-1a over the bit patterns of the floats added.
struct BitHash {
    uint64_t value = 1469598103934665603ull;
    void add(const std::vector<float>& xs) {
        for (float x : xs) {
            uint32_t bits;
            std::memcpy(&bits, &x, 4);
            value = (value ^ bits) * 1099511628211ull;
        }
    }
    void print(const char* suffix = "") const {
        std::printf("HASH %016llx%s\n", static_cast<unsigned long long>(value), suffix);
    }
};

struct PoolSizeRun {
    std::string threads, hash, stdoutData;
};

// Runs child test `test` once per entry of `threads` (VIVIROV_ENGINE_THREADS)
// and expects every run to print the same hash; returns the runs.
inline std::vector<PoolSizeRun> expectSameHashForPoolSizes(const std::string& test,
                                                           const std::vector<std::string>& threads) {
    std::vector<PoolSizeRun> runs;
    for (const std::string& t : threads) {
        const auto r = runChildTest(test, {{"VIVIROV_ENGINE_THREADS", t}});
        EXPECT_TRUE(r.succeeded()) << t << " threads\n" << r.stdoutData << r.stderrData;
        const auto at = r.stdoutData.find("HASH ");
        EXPECT_NE(at, std::string::npos) << r.stdoutData;
        runs.push_back({t, at == std::string::npos ? std::string() : r.stdoutData.substr(at, 21), r.stdoutData});
        if (runs.size() > 1) {
            EXPECT_EQ(runs.front().hash, runs.back().hash) << t << " threads";
        }
    }
    return runs;
}

} // namespace vivirov::test
