#include "tests/Accessibility/PrivateDesktop.h"

#include <gio/gio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vivirov::test {

namespace {

// Runs argv with `fd` kept open as the write end of a pipe; returns the pid
// and the first line the child writes to it.
pid_t spawnReadingLine(const std::vector<std::string>& argv, std::string& line, const std::string& fdArgPrefix) {
    int fds[2];
    if (::pipe(fds) != 0) return 0;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::vector<std::string> args = argv;
        // "--flag=N" or "-flag N"
        if (fdArgPrefix.back() == '=') {
            args.push_back(fdArgPrefix + std::to_string(fds[1]));
        } else {
            args.push_back(fdArgPrefix);
            args.push_back(std::to_string(fds[1]));
        }
        std::vector<char*> raw;
        for (auto& a : args) raw.push_back(a.data());
        raw.push_back(nullptr);
        ::execvp(raw[0], raw.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(fds[0]);
    return pid;
}

bool executable(const char* path) { return ::access(path, X_OK) == 0; }

} // namespace

PrivateDesktop& PrivateDesktop::shared() {
    static PrivateDesktop desktop;
    return desktop;
}

PrivateDesktop::PrivateDesktop() {
    if (!executable("/usr/bin/Xvfb") || !executable("/usr/bin/dbus-daemon") ||
        !executable("/usr/libexec/at-spi-bus-launcher")) {
        skipReason = "needs Xvfb, dbus-daemon and at-spi2-core (scripts/bootstrap installs them)";
        return;
    }
    std::string display;
    const pid_t xvfb = spawnReadingLine({"Xvfb", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, display,
                                        "-displayfd");
    if (xvfb) children_.push_back(xvfb);
    if (display.empty()) {
        skipReason = "Xvfb did not start";
        return;
    }
    std::string address;
    const pid_t bus = spawnReadingLine({"dbus-daemon", "--session", "--nofork"}, address, "--print-address=");
    if (bus) children_.push_back(bus);
    if (address.empty()) {
        skipReason = "the private session bus did not start";
        return;
    }
    ::setenv("DISPLAY", (":" + display).c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    ::unsetenv("AT_SPI_BUS_ADDRESS");

    // Switching assistive technologies on starts the AT-SPI bus.
    GError* error = nullptr;
    GDBusConnection* session = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (session) {
        GVariant* reply = g_dbus_connection_call_sync(
            session, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
            g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)), nullptr,
            G_DBUS_CALL_FLAGS_NONE, 20000, nullptr, &error);
        if (reply) g_variant_unref(reply);
        g_object_unref(session);
    }
    if (error) {
        skipReason = std::string("the AT-SPI bus did not start: ") + error->message;
        g_error_free(error);
    }
}

pid_t PrivateDesktop::launch(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        for (const auto& entry : extraEnv) ::putenv(const_cast<char*>(strdup(entry.c_str())));
        std::vector<char*> raw;
        std::vector<std::string> args = argv;
        for (auto& a : args) raw.push_back(a.data());
        raw.push_back(nullptr);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    if (pid > 0) children_.push_back(pid);
    return pid > 0 ? pid : 0;
}

PrivateDesktop::~PrivateDesktop() {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        ::kill(*it, SIGCONT);
        ::kill(*it, SIGTERM);
        ::waitpid(*it, nullptr, 0);
    }
}

} // namespace vivirov::test
