// Settings the engine reads once per process, each case in a child process of
// its own: the batched product's route switches, the pool size (results must
// not depend on it) and the one thread budget of every engine thread pool.
#include <cblas.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include "engine/common/thread_budget.h"
#include "engine/vm_cabi/parallel_for.h"
#include "engine/vm_cabi_v2/det_pool.h"
#include "engine/vm_cabi_v2/fused_q_kernels.h"
#include "engine/vm_cabi_v2/gemm_route.h"
#include "tests/Kernels/ChildRun.h"
#include "tests/Kernels/KernelTestSupport.h"

using namespace vivirov::test;
using namespace vm::apex;

namespace {

struct Shape {
    const char* name;
    uint32_t type;
    int32_t N, K, M;
    bool compute; // small enough to multiply and check in the child
};

const Shape kShapes[] = {
    {"q8", 8, 128, 64, 4, true},          {"q4k", 12, 128, 256, 4, true},
    {"q8_full_limit", 8, 8192, 8192, 2, false}, {"q8_past_limit", 8, 8192, 8224, 2, false},
    {"f16", 1, 128, 64, 4, true},         {"f32", 0, 64, 64, 4, true},
    {"f32_narrow", 0, 63, 64, 4, true},   {"q6k_one_row", 14, 128, 256, 1, true},
};

// "@@ key value" lines of a child's output.
std::map<std::string, std::string> reports(const std::string& out) {
    std::map<std::string, std::string> r;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("@@ ", 0) != 0) continue;
        const size_t sp = line.find(' ', 3);
        r[line.substr(3, sp - 3)] = sp == std::string::npos ? "" : line.substr(sp + 1);
    }
    return r;
}

void flip(const char* name, bool on, const char* offValue, const char* onValue) {
    setenv(name, on ? offValue : onValue, 1);
}

// Concurrency seen by a body that runs on many threads at once.
struct Concurrency {
    std::atomic<int> now{0}, most{0};
    void enter() {
        const int n = now.fetch_add(1) + 1;
        for (int seen = most.load(); n > seen && !most.compare_exchange_weak(seen, n);) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        now.fetch_sub(1);
    }
};

} // namespace

// ---- Children ----------------------------------------------------------------

TEST(KernelsChild, Routes) {
    if (!isKernelsChild("Routes")) GTEST_SKIP();
    for (const auto& s : kShapes) {
        std::printf("@@ %s %s\n", s.name, gemm_route_name(gemm_route(s.type, s.N, s.K, s.M)));
        if (!s.compute) continue;
        const TestMatrix m(s.type, s.N, s.K, 77);
        const auto X = randomFloats(size_t(s.M) * size_t(s.K), 78);
        std::vector<float> Y(size_t(s.M) * size_t(s.N));
        ASSERT_TRUE(fused_q_gemm_det(s.type, m.data(), s.N, s.K, X.data(), s.M, Y.data(), 0, -1, 0));
        EXPECT_LT(worstRelativeError(m, X.data(), s.M, Y.data(), s.N, 0), kProductTolerance) << s.name;
    }
    // Later changes to the environment do not reach the switches.
    const char* pc = std::getenv("VIVIROV_AMX_PC");
    const char* full = std::getenv("VIVIROV_AMX_FULL");
    const char* qk = std::getenv("VIVIROV_QK_AMX_PC");
    flip("VIVIROV_AMX_PC", !(pc && pc[0] == '0'), "0", "1");
    flip("VIVIROV_AMX_FULL", full && full[0] == '1', "0", "1");
    flip("VIVIROV_QK_AMX_PC", !(qk && std::string(qk) == "0"), "0", "1");
    for (const auto& s : kShapes)
        std::printf("@@ again_%s %s\n", s.name, gemm_route_name(gemm_route(s.type, s.N, s.K, s.M)));
    std::fflush(stdout);
}

TEST(KernelsChild, Hashes) {
    if (!isKernelsChild("Hashes")) GTEST_SKIP();
    std::printf("@@ participants %d\n", det_pool_global()->participants());
    for (uint32_t type : {0u, 1u, 6u, 8u, 12u, 13u, 14u}) {
        const TestMatrix m(type, 700, 512, 5 + type);
        const auto X = randomFloats(7 * 512, 6);
        std::vector<float> y(700), Y(7 * 700);
        ASSERT_TRUE(fused_q_gemv_det(type, m.data(), 700, 512, X.data(), y.data(), 0));
        // The batch takes whichever route the switches give: the sgemm routes
        // split the rows into fixed chunks, so their bits are fixed as well.
        ASSERT_TRUE(fused_q_gemm_det(type, m.data(), 700, 512, X.data(), 7, Y.data(), 0, -1, 0));
        const uint64_t h = fnv1a(Y.data(), Y.size() * 4, fnv1a(y.data(), y.size() * 4));
        std::printf("@@ route%u %s\n", type, gemm_route_name(gemm_route(type, 700, 512, 7)));
        std::printf("@@ hash%u %llx\n", type, static_cast<unsigned long long>(h));
    }
    std::fflush(stdout);
}

TEST(KernelsChild, Budget) {
    if (!isKernelsChild("Budget")) GTEST_SKIP();
    std::printf("@@ budget %d\n", vm::thread_budget());
    std::printf("@@ openblas %d\n", openblas_get_num_threads());
    std::printf("@@ parallel_threads %zu\n", vm::parallel_threads());
    Concurrency pf, pool;
    vm::parallel_for(64, [&](size_t) { pf.enter(); });
    det_pool_global()->parallel([&](int, int) { pool.enter(); });
    std::printf("@@ parallel_for_most %d\n", pf.most.load());
    std::printf("@@ pool_most %d\n", pool.most.load());
    std::printf("@@ pool %d\n", det_pool_global()->participants());
    std::fflush(stdout);
}

// ---- Parent cases --------------------------------------------------------------

TEST(ProcessSettings, RouteSwitchesAreReadOncePerProcess) {
    using Env = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        Env env;
        const char *q8, *q4k, *fullLimit, *pastLimit;
    };
    const Case cases[] = {
        {{}, "amx_pc", "qk_pc", "amx_pc", "amx_pc"},
        {{{"VIVIROV_AMX_PC", "0"}}, "fused_rows", "fused_rows", "fused_rows", "fused_rows"},
        {{{"VIVIROV_QK_AMX_PC", "0"}}, "amx_pc", "fused_rows", "amx_pc", "amx_pc"},
        {{{"VIVIROV_AMX_FULL", "1"}}, "amx_full", "qk_pc", "amx_full", "amx_pc"},
        {{{"VIVIROV_AMX_FULL", "10"}, {"VIVIROV_AMX_PC", "0"}}, "amx_full", "fused_rows", "amx_full", "fused_rows"},
        {{{"VIVIROV_AMX_FULL", "yes"}}, "amx_pc", "qk_pc", "amx_pc", "amx_pc"},
        // Only exactly "0" turns the K-quant tiles off; anything else follows VIVIROV_AMX_PC.
        {{{"VIVIROV_AMX_PC", "0ff"}, {"VIVIROV_QK_AMX_PC", "00"}}, "fused_rows", "fused_rows", "fused_rows",
         "fused_rows"},
        {{{"VIVIROV_AMX_PC", "1"}, {"VIVIROV_QK_AMX_PC", "00"}}, "amx_pc", "qk_pc", "amx_pc", "amx_pc"},
        {{{"VIVIROV_AMX_PC", ""}}, "amx_pc", "qk_pc", "amx_pc", "amx_pc"},
    };
    for (const auto& c : cases) {
        std::string label;
        for (const auto& [k, v] : c.env) label += k + "=" + v + " ";
        SCOPED_TRACE(label);
        const auto r = reports(runKernelsChild("Routes", c.env));
        EXPECT_EQ(r.count("q8") ? r.at("q8") : "", c.q8);
        EXPECT_EQ(r.count("q4k") ? r.at("q4k") : "", c.q4k);
        EXPECT_EQ(r.count("q8_full_limit") ? r.at("q8_full_limit") : "", c.fullLimit);
        EXPECT_EQ(r.count("q8_past_limit") ? r.at("q8_past_limit") : "", c.pastLimit);
        for (const auto& [name, route] : std::map<std::string, std::string>{
                 {"f16", "fused_rows"}, {"f32", "f32_sgemm"}, {"f32_narrow", "fused_rows"}, {"q6k_one_row", "gemv"}}) {
            EXPECT_EQ(r.count(name) ? r.at(name) : "", route) << name;
        }
        for (const auto& s : kShapes) {
            const std::string name = s.name;
            EXPECT_EQ(r.count("again_" + name) ? r.at("again_" + name) : "?", r.count(name) ? r.at(name) : "")
                << name << " changed after the environment did";
        }
    }
}

TEST(ProcessSettings, PoolSizeDoesNotChangeTheBits) {
    // Fused rows for every batch, then the default sgemm routes.
    for (const char* amxPc : {"0", "1"}) {
        SCOPED_TRACE(std::string("VIVIROV_AMX_PC=") + amxPc);
        std::map<std::string, std::string> first;
        for (const char* threads : {"1", "2", "8"}) {
            const auto r =
                reports(runKernelsChild("Hashes", {{"VIVIROV_ENGINE_THREADS", threads}, {"VIVIROV_AMX_PC", amxPc}}));
            EXPECT_EQ(r.count("participants") ? r.at("participants") : "", threads);
            EXPECT_EQ(r.count("route8") ? r.at("route8") : "", amxPc[0] == '0' ? "fused_rows" : "amx_pc");
            std::map<std::string, std::string> hashes(r);
            hashes.erase("participants");
            EXPECT_EQ(hashes.size(), 14u) << threads;
            if (first.empty()) first = hashes;
            else EXPECT_EQ(hashes, first) << threads << " participants";
        }
    }
}

TEST(ProcessSettings, OneThreadBudgetSizesEveryPool) {
    const auto r = reports(runKernelsChild("Budget", {{"VIVIROV_ENGINE_THREADS", "2"}}));
    EXPECT_EQ(r.count("budget") ? r.at("budget") : "", "2");
    // OpenBLAS runs only inside the pool's jobs, one thread per call.
    EXPECT_EQ(r.count("openblas") ? r.at("openblas") : "", "1");
    EXPECT_EQ(r.count("parallel_threads") ? r.at("parallel_threads") : "", "2");
    EXPECT_EQ(r.count("pool") ? r.at("pool") : "", "2");
    ASSERT_TRUE(r.count("parallel_for_most") && r.count("pool_most"));
    EXPECT_LE(std::stoi(r.at("parallel_for_most")), 2);
    EXPECT_LE(std::stoi(r.at("pool_most")), 2);
}
