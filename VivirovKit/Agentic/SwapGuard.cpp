#include "VivirovKit/Agentic/SwapGuard.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "VivirovKit/Support/Regex.h"

namespace vivirov {

const char* rawValue(SwapPressure pressure) {
    switch (pressure) {
    case SwapPressure::ok: return "ok";
    case SwapPressure::warning: return "warning";
    case SwapPressure::critical: return "critical";
    }
    return "ok";
}

std::optional<SwapPressure> swapPressureFromRaw(const std::string& raw) {
    if (raw == "ok") return SwapPressure::ok;
    if (raw == "warning") return SwapPressure::warning;
    if (raw == "critical") return SwapPressure::critical;
    return std::nullopt;
}

std::optional<double> SwapGuard::usedMB() { return usedMB("/proc/meminfo"); }

std::optional<double> SwapGuard::usedMB(const std::string& meminfoPath) {
    std::ifstream in(meminfoPath);
    if (!in) return std::nullopt;
    std::stringstream ss;
    ss << in.rdbuf();
    return parseMeminfo(ss.str());
}

std::optional<double> SwapGuard::parseMeminfo(const std::string& text) {
    std::optional<long long> total, free;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        long long kb = 0;
        if (std::sscanf(line.c_str(), "SwapTotal: %lld kB", &kb) == 1) total = kb;
        else if (std::sscanf(line.c_str(), "SwapFree: %lld kB", &kb) == 1) free = kb;
    }
    if (!total || !free || *free > *total) return std::nullopt;
    return double(*total - *free) / 1024.0;
}

std::optional<double> SwapGuard::parseUsedFigure(const std::string& text) {
    static const Regex used("used = ([0-9.]+)M");
    auto match = used.firstMatch(text);
    if (!match) return std::nullopt;
    const std::string figure = match->group(1);
    char* end = nullptr;
    double value = std::strtod(figure.c_str(), &end);
    if (figure.empty() || end != figure.c_str() + figure.size()) return std::nullopt;
    return value;
}

SwapPressure SwapGuard::pressure(std::optional<double> u) {
    if (!u) return SwapPressure::ok;
    if (*u > 6000) return SwapPressure::critical;
    if (*u > 4000) return SwapPressure::warning;
    return SwapPressure::ok;
}

bool SwapGuard::allowParallelTools(std::optional<double> u) { return !(u && *u > 6000); }

int SwapGuard::maxPerspectives(int requested, std::optional<double> u) {
    if (u && *u > 6000) return 1;
    if (u && *u > 4000) return std::min(requested, 2);
    return std::min(requested, 4);
}

std::optional<std::string> SwapGuard::systemHintIfNeeded(std::optional<double> u) {
    if (!u) return std::nullopt;
    if (*u > 6000)
        return std::string("System memory is critically low (swap >6 GB). Answer briefly. Do not call "
                           "research_swarm. Prefer single tools only.");
    if (*u > 4000)
        return std::string("System memory pressure is elevated (swap >4 GB). Prefer concise answers and "
                           "avoid research_swarm / heavy parallel tools.");
    return std::nullopt;
}

std::string SwapGuard::statusLine(std::optional<double> u) {
    std::string figure = "?";
    if (u) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.0f", *u);
        figure = buffer;
    }
    return "swap_used_mb=" + figure + " pressure=" + rawValue(pressure(u));
}

} // namespace vivirov
