#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QProcess>

#include "VivirovVizivurad/QuickAsk/PortalGlobalShortcut.h"
#include "VivirovVizivurad/QuickAsk/QuickAskController.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {
namespace {

// A private session bus with a stand-in desktop portal on it.
class PortalBus {
public:
    PortalBus() {
        daemon_.start("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address"});
        if (!daemon_.waitForReadyRead(10000)) return;
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", address_);
        portal_.setProcessEnvironment(env);
        portal_.setProcessChannelMode(QProcess::MergedChannels);
        portal_.start("/usr/bin/python3",
                      {QString::fromUtf8(qgetenv("VIVIROV_TEST_DATA")) + "/QuickAsk/portal/fake_global_shortcuts.py"});
        ready_ = portal_.waitForReadyRead(20000) && portal_.readLine().trimmed() == "ready";
    }
    ~PortalBus() {
        for (QProcess* process : {&portal_, &daemon_}) {
            process->kill();
            process->waitForFinished(5000);
        }
        QDBusConnection::disconnectFromBus(QStringLiteral("quick-ask-portal"));
    }
    bool ready() const { return ready_; }
    QDBusConnection connect() { return QDBusConnection::connectToBus(address_, QStringLiteral("quick-ask-portal")); }
    QString portalOutput() { return QString::fromUtf8(portal_.readAll()); }

private:
    QProcess daemon_;
    QProcess portal_;
    QString address_;
    bool ready_ = false;
};

TEST(QuickAskPortal, BindsCtrlShiftJAndTogglesWhenThePortalReportsIt) {
    qtApp();
    PortalBus bus;
    ASSERT_TRUE(bus.ready()) << "the stand-in portal did not start";
    QuickAskController quickAsk;
    quickAsk.screens = [] { return QList<QuickAskLayout::Screen>{}; };
    quickAsk.usePortalBus(bus.connect());
    quickAsk.installGlobalHotkey(); // offscreen: no X11, so the portal carries the key
    const bool bound = qtWaitUntil([&] { return quickAsk.watchesOtherApplications(); });
    const QString portal = bus.portalOutput();
    ASSERT_TRUE(bound) << portal.toStdString();
    EXPECT_TRUE(portal.contains("bound quick-ask CTRL+SHIFT+j")) << portal.toStdString();
    EXPECT_TRUE(qtWaitUntil([&] { return quickAsk.isVisible(); }));
}

TEST(QuickAskPortal, WithoutAPortalNothingIsWatchedAndNothingFails) {
    qtApp();
    QuickAskController quickAsk;
    quickAsk.usePortalBus(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"), "no-portal"));
    quickAsk.installGlobalHotkey();
    QCoreApplication::processEvents();
    EXPECT_FALSE(quickAsk.watchesOtherApplications());
    QDBusConnection::disconnectFromBus("no-portal");
}

} // namespace
} // namespace vivirov::test
