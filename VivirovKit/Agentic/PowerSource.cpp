#include "VivirovKit/Agentic/PowerSource.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

std::optional<std::string> readAttribute(const std::filesystem::path& supply, const char* name) {
    std::ifstream in(supply / name);
    if (!in) return std::nullopt;
    std::stringstream buffer;
    buffer << in.rdbuf();
    return text::trimmed(buffer.str());
}

} // namespace

SystemPowerSource::SystemPowerSource(std::string root) : root_(std::move(root)) {}

bool SystemPowerSource::onBattery() const {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(root_, ec);
    if (ec) return false;
    bool externalOnline = false;
    bool batteryDischarging = false;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path supply = it->path();
        const auto type = readAttribute(supply, "type");
        if (!type) continue;
        if (*type == "Battery") {
            // Batteries of peripherals (mice, headsets) say nothing about
            // what powers this computer.
            if (readAttribute(supply, "scope").value_or("") == "Device") continue;
            if (readAttribute(supply, "status").value_or("") == "Discharging")
                batteryDischarging = true;
        } else if (readAttribute(supply, "online").value_or("0") == "1") {
            externalOnline = true;
        }
    }
    return !externalOnline && batteryDischarging;
}

} // namespace vivirov
