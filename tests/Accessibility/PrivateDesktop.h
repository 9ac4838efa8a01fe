#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

namespace vivirov::test {

// A display and session of its own for live Accessibility tests: Xvfb, a
// private D-Bus session bus (which starts the AT-SPI bus on demand) with
// assistive technologies switched on, and this process's DISPLAY and
// DBUS_SESSION_BUS_ADDRESS pointing at them. Set up once per process, before
// anything talks to the Accessibility bus; `skipReason` is set when a part is
// missing on this machine.
class PrivateDesktop {
public:
    static PrivateDesktop& shared();

    bool ready() const { return skipReason.empty(); }
    std::string skipReason;

    // Starts a program on the desktop; returns its pid (0 on failure).
    pid_t launch(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
    ~PrivateDesktop();

private:
    PrivateDesktop();
    std::vector<pid_t> children_;
};

} // namespace vivirov::test
