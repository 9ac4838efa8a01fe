#include <gtest/gtest.h>

#include <QProcess>
#include <QTest>

#include <unistd.h>

#include <filesystem>

#include "VivirovVizivurad/QuickAsk/QuickAskContentView.h"
#include "VivirovVizivurad/QuickAsk/QuickAskController.h"
#include "VivirovVizivurad/QuickAsk/QuickAskPanel.h"
#include "tests/support/ChildTest.h"
#include "tests/support/QtHarness.h"

// X11 last: its macros (None, KeyPress, Status, ...) would break the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace vivirov::test {
namespace {

const std::string kChild = "QuickAskX11.InsideItsOwnDisplay";

// Presses Ctrl+Shift+J on the X server as a keyboard would.
void pressTrigger(Display* display) {
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L), shift = XKeysymToKeycode(display, XK_Shift_L),
                  j = XKeysymToKeycode(display, XK_j);
    for (KeyCode key : {control, shift, j}) XTestFakeKeyEvent(display, key, True, CurrentTime);
    for (KeyCode key : {j, shift, control}) XTestFakeKeyEvent(display, key, False, CurrentTime);
    XFlush(display);
}

// Key presses of J that reached `window`, with Ctrl and Shift held.
int triggerPressesAt(Display* display, Window window) {
    int count = 0;
    XEvent event;
    while (XCheckWindowEvent(display, window, KeyPressMask, &event))
        count += XLookupKeysym(&event.xkey, 0) == XK_j && (event.xkey.state & (ControlMask | ShiftMask)) ==
                                                              (ControlMask | ShiftMask);
    return count;
}

// Runs in a child process on a private X server (see the test below).
TEST(QuickAskX11, InsideItsOwnDisplay) {
    if (!isChildTest(kChild)) GTEST_SKIP() << "runs as a child of OtherApplicationsKeepTheKey";
    qtApp();
    QuickAskController quickAsk;
    quickAsk.installGlobalHotkey();
    ASSERT_TRUE(quickAsk.watchesOtherApplications());

    // A plain X client with the keyboard focus.
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    const Window client = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 100, 0, 0, 0);
    XSelectInput(display, client, KeyPressMask | StructureNotifyMask);
    XMapWindow(display, client);
    XEvent mapped;
    XWindowEvent(display, client, StructureNotifyMask, &mapped);
    XSetInputFocus(display, client, RevertToParent, CurrentTime);
    XSync(display, False);

    pressTrigger(display);
    ASSERT_TRUE(qtWaitUntil([&] { return quickAsk.isVisible(); }, 5000));
    XSync(display, False);
    EXPECT_EQ(triggerPressesAt(display, client), 1);

    // Once the panel has the focus, the key is ours alone: one toggle, nothing typed.
    quickAsk.panel()->activateWindow();
    ASSERT_TRUE(qtWaitUntil([&] { return QGuiApplication::focusWindow() == quickAsk.panel()->windowHandle(); }, 5000));
    pressTrigger(display);
    ASSERT_TRUE(qtWaitUntil([&] { return !quickAsk.isVisible(); }, 5000));
    QTest::qWait(300);
    XSync(display, False);
    EXPECT_FALSE(quickAsk.isVisible());
    EXPECT_EQ(triggerPressesAt(display, client), 0);
    EXPECT_EQ(quickAsk.draft(), "");
    XCloseDisplay(display);
}

TEST(QuickAskX11, OtherApplicationsKeepTheKey) {
    if (isChildTest(kChild)) GTEST_SKIP();
    ASSERT_TRUE(std::filesystem::exists("/usr/bin/Xvfb")) << "Xvfb is installed by scripts/bootstrap";
    QProcess server;
    std::string display;
    for (int attempt = 0; attempt < 20 && display.empty(); ++attempt) {
        const int number = 200 + (getpid() + attempt * 37) % 700;
        if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) continue;
        server.start("/usr/bin/Xvfb", {QStringLiteral(":%1").arg(number), "-screen", "0", "1280x1024x24", "-nolisten",
                                       "tcp", "+extension", "XInputExtension", "+extension", "XTEST"});
        if (!server.waitForStarted(5000)) continue;
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        for (int i = 0; i < 100 && !std::filesystem::exists(socket) && server.state() == QProcess::Running; ++i)
            usleep(50000);
        if (std::filesystem::exists(socket)) display = ":" + std::to_string(number);
        else server.kill(), server.waitForFinished();
    }
    ASSERT_FALSE(display.empty()) << "no private X server started";
    const ProcessRunResult child =
        runChildTest(kChild, {{"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}, {"XAUTHORITY", "/nonexistent"}});
    server.terminate();
    server.waitForFinished(5000);
    EXPECT_EQ(child.exitStatus, 0) << child.stdoutData << child.stderrData;
    EXPECT_NE(child.stdoutData.find("[  PASSED  ] 1 test"), std::string::npos) << child.stdoutData;
}

} // namespace
} // namespace vivirov::test
