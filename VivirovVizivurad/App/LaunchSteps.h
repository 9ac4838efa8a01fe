#pragma once
#include <QByteArray>
#include <QProcessEnvironment>

#include <cstdint>
#include <optional>
#include <string>

namespace vivirov {

// The small decisions of start-up, kept apart from the windows that act on them.
class LaunchSteps {
public:
    // The engine console replaces the main window when VIVIROV_RUZORAVIR or
    // VIVIROV_RUZORAVIR_PROOF is exactly "1".
    static bool isConsoleRoot(const QProcessEnvironment& environment);

    // Resident bytes from the text of /proc/self/statm (second field, in pages).
    static std::optional<std::uint64_t> residentBytes(const QByteArray& statm, long pageSize);
    // Decimal megabytes: bytes / 1,000,000.
    static double megabytes(std::uint64_t bytes) { return static_cast<double>(bytes) / 1e6; }
    // This process's resident memory in decimal megabytes; 0 when unreadable.
    static double sampleResidentMegabytes();

    // The one line written when the local engine stays off.
    static std::string bootstrapSkipLine(const std::string& activeProviderID);
    static constexpr const char* localEngineID = "derevududuv";

    LaunchSteps() = delete;
};

} // namespace vivirov
