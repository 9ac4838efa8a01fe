// ui_dump of the fixture window (about 400 elements) beside the same number
// of bare AT-SPI name reads in the same run. Every element costs several
// requests to the app (role, name, description, value, extents, actions,
// children), so the dump should stay within about 15 times the bare reads.
#include <benchmark/benchmark.h>

#include <atspi/atspi.h>

#include <functional>
#include <optional>
#include <vector>

#include "VivirovKit/Support/Json.h"
#include "VivirovVizivurad/Accessibility/AtspiBackend.h"
#include "VivirovVizivurad/Accessibility/ComputerUse.h"
#include "guards_ratio_reporter.h"
#include "tests/Accessibility/PrivateDesktop.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace vivirov;

struct Fixture {
    std::shared_ptr<ComputerUse> computer;
    std::vector<AtspiAccessible*> elements; // the dumped elements, read bare in the baseline
    int nodes = 0;
    std::string skip;

    Fixture() {
        auto& desktop = test::PrivateDesktop::shared();
        if (!desktop.ready()) {
            skip = desktop.skipReason;
            return;
        }
        desktop.launch({VIVIROV_AX_FIXTURE_APP});
        computer = std::make_shared<ComputerUse>(std::make_shared<AtspiBackend>(), [] { return std::nullopt; });
        if (!test::waitUntil([&] { return computer->dumpUIMap("axfixture", 3, 40, false, 0).find("\"OK\"") != std::string::npos; },
                             std::chrono::seconds(60))) {
            skip = "the fixture window never appeared";
            return;
        }
        auto doc = json::parse(computer->dumpUIMap("axfixture", 18, 2000, false, 0));
        nodes = doc ? (*doc)["nodesSerialized"].get<int>() : 0;
        collectElements();
    }

    void collectElements() {
        AtspiAccessible* desktop = atspi_get_desktop(0);
        const int apps = atspi_accessible_get_child_count(desktop, nullptr);
        for (int i = 0; i < apps; ++i) {
            AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
            gchar* name = app ? atspi_accessible_get_name(app, nullptr) : nullptr;
            const bool wanted = name && std::string(name) == "axfixture";
            g_free(name);
            if (!wanted) continue;
            std::function<void(AtspiAccessible*)> walk = [&](AtspiAccessible* e) {
                if (int(elements.size()) >= nodes) return;
                elements.push_back(e);
                const int count = atspi_accessible_get_child_count(e, nullptr);
                for (int c = 0; c < count; ++c)
                    if (AtspiAccessible* child = atspi_accessible_get_child_at_index(e, c, nullptr)) walk(child);
            };
            walk(app);
        }
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_BareNameReads(benchmark::State& state) {
    auto& f = fixture();
    if (!f.skip.empty()) return state.SkipWithError(f.skip.c_str());
    for (auto _ : state)
        for (AtspiAccessible* e : f.elements) g_free(atspi_accessible_get_name(e, nullptr));
    state.counters["reads"] = double(f.elements.size());
}
BENCHMARK(BM_BareNameReads)->Name("UIDump400/baseline")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UIDump(benchmark::State& state) {
    auto& f = fixture();
    if (!f.skip.empty()) return state.SkipWithError(f.skip.c_str());
    for (auto _ : state) benchmark::DoNotOptimize(f.computer->dumpUIMap("axfixture", 18, 2000, false, 0));
    state.counters["nodes"] = double(f.nodes);
}
BENCHMARK(BM_UIDump)->Name("UIDump400/measured")->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv, true); }
