#include "VivirovVizivurad/Markdown/FileCitationText.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextCursor>
#include <QVBoxLayout>
#include <pwd.h>
#include <unistd.h>

#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Markdown/FileReveal.h"
#include "VivirovVizivurad/Markdown/FittedTextView.h"
#include "VivirovVizivurad/Markdown/MarkdownMessage.h"

namespace vivirov {

namespace {
const QRegularExpression& pathPattern() {
    static const QRegularExpression pattern(
        QStringLiteral("(?:~|/Users|/tmp|/var|/opt|/private)[^\\s\\]\\)\"']+(?::\\d+)?"),
        QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

// A path starts the text or follows a blank, an opening bracket or a quote;
// a prefix inside a word or a web address ("https://host/var/...") is no path.
bool startsPath(const QString& text, qsizetype at) {
    if (at == 0) return true;
    const QChar before = text[at - 1];
    return before.isSpace() || QStringLiteral("([{<\"'`").contains(before);
}
} // namespace

std::vector<FileCitationText::Run> FileCitationText::tokenize(const QString& text) {
    std::vector<Run> runs;
    qsizetype cursor = 0;
    auto matches = pathPattern().globalMatch(text);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        if (!startsPath(text, match.capturedStart())) continue;
        if (match.capturedStart() > cursor)
            runs.push_back(Run{text.sliced(cursor, match.capturedStart() - cursor), false});
        runs.push_back(Run{match.captured(), true});
        cursor = match.capturedEnd();
    }
    if (runs.empty()) return {Run{text, false}};
    if (cursor < text.size()) runs.push_back(Run{text.sliced(cursor), false});
    return runs;
}

QString FileCitationText::expandTilde(const QString& path) {
    if (!path.startsWith(u'~')) return path;
    const qsizetype slash = path.indexOf(u'/');
    const QString user = path.mid(1, slash < 0 ? -1 : slash - 1);
    const QString rest = slash < 0 ? QString() : path.sliced(slash);
    if (user.isEmpty()) return QDir::homePath() + rest;
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwnam_r(user.toLocal8Bit().constData(), &entry, buffer, sizeof buffer, &found) != 0 || !found)
        return path;
    return QString::fromLocal8Bit(found->pw_dir) + rest;
}

QString FileCitationText::resolve(const QString& pathRun) {
    static const QRegularExpression lineNumber(QStringLiteral(":\\d+$"),
                                               QRegularExpression::UseUnicodePropertiesOption);
    QString path = pathRun;
    path.remove(lineNumber);
    path = expandTilde(path);
    return QFileInfo::exists(path) ? path : QString();
}

int FileCitationText::attributed(const std::vector<Run>& runs, QTextDocument& document) {
    document.clear();
    QTextCursor cursor(&document);
    int linked = 0;
    for (const Run& run : runs) {
        const QString path = run.isPath ? resolve(run.text) : QString();
        if (path.isEmpty()) {
            cursor.insertText(run.text, QTextCharFormat());
            continue;
        }
        QTextCharFormat link;
        link.setAnchor(true);
        link.setAnchorHref(QUrl::fromLocalFile(path).toString());
        link.setForeground(ThemeSnapshot::palette.cyan);
        link.setFontUnderline(true);
        cursor.insertText(run.text, link);
        ++linked;
    }
    return linked;
}

FileCitationText::FileCitationText(const QString& text, bool isUser, QWidget* parent) : QWidget(parent) {
    reveal_ = [](const QUrl& url) { FileReveal().reveal(url); };
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);

    const std::vector<Run> runs = tokenize(text);
    // Only a path that resolved to a link gives up the message's Markdown: an
    // unlinked "~5" or a stray "/tmp" keeps headings, emphasis and code blocks.
    auto* links = new FittedTextView(this);
    if (attributed(runs, *links->document()) > 0) {
        showsLinks_ = true;
        connect(links, &QTextBrowser::anchorClicked, this, &FileCitationText::open);
        content_ = links;
    } else {
        delete links;
        auto* markdown = new MarkdownMessage(text.isEmpty() ? QStringLiteral("…") : text, isUser, this);
        connect(markdown, &MarkdownMessage::linkActivated, this, &FileCitationText::open);
        content_ = markdown;
    }
    column->addWidget(content_);
}

void FileCitationText::open(const QUrl& url) {
    if (url.isLocalFile()) reveal_(url);
    else QDesktopServices::openUrl(url);
}

} // namespace vivirov
