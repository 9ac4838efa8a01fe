#pragma once
// Runs one of this binary's KernelsChild tests in a fresh process, for
// settings the engine reads once per process (route switches, the thread
// budget). The child test runs only when VIVIROV_KERNELS_CHILD names it and
// reports on standard output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "VivirovKit/Support/ProcessRunner.h"

namespace vivirov::test {

inline std::string runKernelsChild(const std::string& mode,
                                   std::vector<std::pair<std::string, std::string>> env) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "no self path";
    self[n] = '\0';
    ProcessRequest req;
    req.program = self;
    req.arguments = {"--gtest_filter=KernelsChild." + mode};
    // Unset switches must really be unset in the child: blank them first.
    for (const char* k : {"VIVIROV_AMX_PC", "VIVIROV_QK_AMX_PC", "VIVIROV_AMX_FULL", "VIVIROV_ENGINE_THREADS"}) {
        bool given = false;
        for (const auto& [name, value] : env) given = given || name == k;
        if (!given && std::getenv(k)) ADD_FAILURE() << k << " is set in the test environment";
    }
    env.emplace_back("VIVIROV_KERNELS_CHILD", mode);
    req.environment = std::move(env);
    const ProcessRunResult r = ProcessRunner::run(req);
    EXPECT_TRUE(r.succeeded()) << mode << " child failed:\n" << r.stdoutData << r.stderrData;
    return r.stdoutData;
}

// True in the child process that runs `mode`.
inline bool isKernelsChild(const char* mode) {
    const char* v = std::getenv("VIVIROV_KERNELS_CHILD");
    return v && std::string(v) == mode;
}

} // namespace vivirov::test
