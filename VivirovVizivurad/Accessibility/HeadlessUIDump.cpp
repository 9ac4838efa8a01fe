#include "VivirovVizivurad/Accessibility/HeadlessUIDump.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "VivirovVizivurad/Accessibility/ComputerUse.h"

namespace vivirov {

namespace {

void say(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace

void runHeadlessDumpIfRequested() {
    const char* requested = std::getenv("VIVIROV_UIDUMP");
    if (!requested) return;
    const std::string appName = requested;
    auto computer = ComputerUse::live();

    say("── ComputerUse headless verification ──\n");
    say(std::string("AXIsProcessTrusted: ") + (computer->trusted() ? "true" : "false") + "\n");
    say("running regular apps:\n");
    for (const auto& app : computer->runningApps())
        say("  • " + app.name.value_or("?") + "  pid=" + std::to_string(app.pid) +
            "  active=" + (app.active ? "true" : "false") + "\n");
    say("\nUI map for '" + appName + "':\n");
    say(computer->dumpUIMap(appName, 18, 1500, true, 0) + "\n");
    if (const char* place = std::getenv("VIVIROV_UIPLACE")) {
        say(std::string("\nwindow-place '") + place + "' → left half:\n");
        say(computer->placeWindow(place, 0, 0, 0.5, 1.0) + "\n");
    }
    // Whatever the answers were: this run was only the check.
    std::_Exit(0);
}

} // namespace vivirov
