#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTextBrowser>
#include <QTextDocument>

#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Markdown/FileCitationText.h"
#include "VivirovVizivurad/Markdown/FileReveal.h"
#include "VivirovVizivurad/Markdown/MarkdownMessage.h"
#include "tests/support/QtHarness.h"

using namespace vivirov;
using CitationRun = FileCitationText::Run;

TEST(FileCitationText, TokenizeCases) {
    const struct {
        const char* name;
        QString text;
        std::vector<CitationRun> runs;
    } cases[] = {
        {"line number", "see /tmp/report.txt:12 now", {{"see ", false}, {"/tmp/report.txt:12", true}, {" now", false}}},
        {"full stop stays", "at /tmp/a.txt.", {{"at ", false}, {"/tmp/a.txt.", true}}},
        {"brackets end it", "(/tmp/a.txt) [/var/b]", {{"(", false}, {"/tmp/a.txt", true}, {") [", false}, {"/var/b", true}, {"]", false}}},
        {"backtick kept", "`/tmp/a.txt`", {{"`", false}, {"/tmp/a.txt`", true}}},
        {"bare prefix is no path", "in /tmp now", {{"in /tmp now", false}}},
        {"slash makes it one", "in /tmp/ now", {{"in ", false}, {"/tmp/", true}, {" now", false}}},
        {"lone tilde", "a ~ b", {{"a ~ b", false}}},
        {"tilde before a number", "about ~5 s", {{"about ", false}, {"~5", true}, {" s", false}}},
        {"lower-case users", "/users/x", {{"/users/x", false}}},
        {"prefix inside a web address", "https://host.org/var/log/x", {{"https://host.org/var/log/x", false}}},
        {"prefix inside a word", "abc/tmp/x", {{"abc/tmp/x", false}}},
        {"unicode blank ends it", QStringLiteral("/tmp/a\u00a0b"), {{"/tmp/a", true}, {QStringLiteral("\u00a0b"), false}}},
    };
    for (const auto& c : cases) EXPECT_EQ(FileCitationText::tokenize(c.text), c.runs) << c.name;
}

TEST(FileCitationText, ExistingPathsBecomeCyanLinks) {
    test::qtApp();
    QTemporaryDir dir(QDir::tempPath() + "/cite-XXXXXX");
    const QString file = dir.path() + "/report.txt";
    QFile(file).open(QIODevice::WriteOnly);

    QTextDocument doc;
    const auto runs = FileCitationText::tokenize("see " + file + ":12:5 now");
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(FileCitationText::resolve(runs[1].text), QString());  // only the last number goes
    EXPECT_EQ(FileCitationText::resolve(file + ":12"), file);
    EXPECT_EQ(FileCitationText::resolve("~"), QDir::homePath());

    EXPECT_EQ(FileCitationText::attributed(FileCitationText::tokenize("see " + file + ":12 now"), doc), 1);
    QTextCursor inLink(&doc);
    inLink.setPosition(6);
    const QTextCharFormat format = inLink.charFormat();
    EXPECT_EQ(format.anchorHref(), QUrl::fromLocalFile(file).toString());
    EXPECT_EQ(format.foreground().color(), ThemeSnapshot::palette.cyan);
    EXPECT_TRUE(format.fontUnderline());
    EXPECT_EQ(doc.toPlainText(), "see " + file + ":12 now");
}

TEST(FileCitationText, OnlyLinkedPathsGiveUpMarkdown) {
    test::qtApp();
    QTemporaryDir dir(QDir::tempPath() + "/cite-XXXXXX");
    FileCitationText linked("open " + dir.path() + " **now**", false);
    EXPECT_TRUE(linked.showsLinks());

    FileCitationText unlinked(QStringLiteral("takes ~5 s, see /tmp/nothing-here-at-all\n```sh\nls\n```"), false);
    EXPECT_FALSE(unlinked.showsLinks());
    EXPECT_NE(qobject_cast<MarkdownMessage*>(unlinked.content()), nullptr);

    FileCitationText empty(QString(), false);
    auto* markdown = qobject_cast<MarkdownMessage*>(empty.content());
    ASSERT_NE(markdown, nullptr);
    EXPECT_EQ(markdown->content(), QStringLiteral("…"));
}

namespace {
// The file manager's interface, answering on a private bus.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
public slots:
    void ShowItems(const QStringList& uris, const QString& startupId) { shown += uris; }
};

struct PrivateBus {
    QProcess daemon;
    QString address;
    PrivateBus() {
        daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
        if (!daemon.waitForStarted(5000)) return;
        test::qtWaitUntil([&] { return daemon.canReadLine(); });
        address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    ~PrivateBus() {
        daemon.terminate();
        daemon.waitForFinished(3000);
    }
};
} // namespace

TEST(FileReveal, ClickingALinkAsksTheFileManager) {
    test::qtApp();
    PrivateBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    QDBusConnection server = QDBusConnection::connectToBus(bus.address, "fake-file-manager");
    FakeFileManager manager;
    ASSERT_TRUE(server.registerObject("/org/freedesktop/FileManager1", &manager, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(server.registerService("org.freedesktop.FileManager1"));
    QDBusConnection client = QDBusConnection::connectToBus(bus.address, "reveal-client");

    QTemporaryDir dir(QDir::tempPath() + "/cite-XXXXXX");
    const QString file = dir.path() + "/notes.md";
    QFile(file).open(QIODevice::WriteOnly);
    FileCitationText view("read " + file + ":3", false);
    view.setRevealer([&](const QUrl& url) { FileReveal(client).reveal(url); });
    auto* links = qobject_cast<QTextBrowser*>(view.content());
    ASSERT_NE(links, nullptr);
    emit links->anchorClicked(QUrl::fromLocalFile(file));

    EXPECT_TRUE(test::qtWaitUntil([&] { return !manager.shown.isEmpty(); }));
    EXPECT_EQ(manager.shown, QStringList{QUrl::fromLocalFile(file).toString()});
    QDBusConnection::disconnectFromBus("fake-file-manager");
    QDBusConnection::disconnectFromBus("reveal-client");
}

#include "FileCitationTests.moc"
