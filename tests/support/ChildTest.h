#pragma once
// Runs one test of this binary in a fresh process, for behaviour that must
// not touch the test process: settings read once per process, lowered
// limits and dropped capabilities, code that ends or wires memory. The child
// test runs only when VIVIROV_CHILD_TEST names it (isChildTest), reports on
// its standard output and error, and is skipped in ordinary runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "VivirovKit/Support/ProcessRunner.h"

namespace vivirov::test {

// `test` is "Suite.Name". Variables named in `unset` are removed in the child
// unless `env` sets them.
inline ProcessRunResult runChildTest(const std::string& test, std::vector<std::pair<std::string, std::string>> env,
                                     const std::vector<std::string>& unset = {}) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ProcessRunResult none;
    if (n <= 0) return none;
    self[n] = '\0';
    ProcessRequest req;
    req.program = self;
    req.arguments = {"--gtest_filter=" + test};
    for (const auto& name : unset) {
        bool given = false;
        for (const auto& [k, v] : env) given = given || k == name;
        if (!given && std::getenv(name.c_str())) ADD_FAILURE() << name << " is set in the test environment";
    }
    env.emplace_back("VIVIROV_CHILD_TEST", test);
    req.environment = std::move(env);
    return ProcessRunner::run(req);
}

inline bool isChildTest(const std::string& test) {
    const char* v = std::getenv("VIVIROV_CHILD_TEST");
    return v && test == v;
}

} // namespace vivirov::test
