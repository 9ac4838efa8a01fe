#pragma once
#include <optional>
#include <string>

namespace vivirov {

enum class SwapPressure { ok, warning, critical };
const char* rawValue(SwapPressure pressure);
std::optional<SwapPressure> swapPressureFromRaw(const std::string& raw);

// Memory pressure from the swap in use, read afresh on every call (Linux:
// SwapTotal - SwapFree of /proc/meminfo). An unreadable figure means no pressure.
// Every decision also has a form taking the reading, so callers that ask
// several questions can probe once.
class SwapGuard {
public:
    // Used swap in MiB, or none.
    static std::optional<double> usedMB();
    // The same from a meminfo-format file (tests point it at a fixture).
    static std::optional<double> usedMB(const std::string& meminfoPath);
    // Parses meminfo text ("SwapTotal: N kB", "SwapFree: N kB").
    static std::optional<double> parseMeminfo(const std::string& text);
    // Parses the "used = 1126.25M" form some systems print.
    static std::optional<double> parseUsedFigure(const std::string& text);

    static SwapPressure pressure() { return pressure(usedMB()); }
    static SwapPressure pressure(std::optional<double> usedMB);
    static bool allowParallelTools() { return allowParallelTools(usedMB()); }
    static bool allowParallelTools(std::optional<double> usedMB);
    static int maxPerspectives(int requested) { return maxPerspectives(requested, usedMB()); }
    static int maxPerspectives(int requested, std::optional<double> usedMB);
    static std::optional<std::string> systemHintIfNeeded() { return systemHintIfNeeded(usedMB()); }
    static std::optional<std::string> systemHintIfNeeded(std::optional<double> usedMB);
    static std::string statusLine() { return statusLine(usedMB()); }
    static std::string statusLine(std::optional<double> usedMB);
};

} // namespace vivirov
