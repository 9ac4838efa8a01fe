#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vivirov {

// The processes listening on a loopback model server's port, as lsof and ps
// (from ProgramPaths) report them. Ports are usual ports, resolved through
// LocalServerPorts.
class PortListeners {
public:
    // The listeners' process ids in lsof's order; none when lsof could not
    // run. Only positive ids in the 32-bit range count.
    static std::optional<std::vector<int>> pids(int usualPort);
    // Whether lsof lists anything for the port (a failed lsof: no).
    static bool anyListening(int usualPort);
    // The process's command line as ps shows it; none when ps could not tell.
    static std::optional<std::string> commandLine(int pid);
    // Listeners never to be signalled: an editor's helper that happens to use
    // a fleet port, and any process whose command line could not be read.
    static bool isSpared(int pid);
    static bool isSparedCommandLine(std::string_view commandLine);
    // Whitespace-separated lsof output to process ids.
    static std::vector<int> parsePids(std::string_view output);

private:
    static std::optional<std::string> lsofOutput(int usualPort);
};

} // namespace vivirov
