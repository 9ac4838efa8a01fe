#pragma once
#include <QString>
#include <QTextDocument>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <vector>

namespace vivirov {

// A finished message whose file paths can be clicked: each path-like run that
// names an existing file or folder becomes a link that reveals the item in
// the file manager. A message without a linked path shows as Markdown.
class FileCitationText : public QWidget {
    Q_OBJECT
public:
    struct Run {
        QString text;
        bool isPath = false;
        bool operator==(const Run&) const = default;
    };

    // Reveals a linked file; the default asks the file manager over D-Bus.
    using Revealer = std::function<void(const QUrl&)>;

    FileCitationText(const QString& text, bool isUser, QWidget* parent = nullptr);

    // Splits the text into plain runs and path runs that join back into it.
    static std::vector<Run> tokenize(const QString& text);
    // The path a run names: its trailing line number dropped, a leading tilde
    // expanded. Empty when nothing exists there.
    static QString resolve(const QString& pathRun);
    // Fills the document with the runs; existing paths become links in the
    // theme's cyan, underlined. Returns how many runs were linked.
    static int attributed(const std::vector<Run>& runs, QTextDocument& document);
    static QString expandTilde(const QString& path);

    // True when the message shows as linked plain text, false for Markdown.
    bool showsLinks() const { return showsLinks_; }
    QWidget* content() const { return content_; }
    void setRevealer(Revealer revealer) { reveal_ = std::move(revealer); }

private:
    void open(const QUrl& url);

    bool showsLinks_ = false;
    QWidget* content_ = nullptr;
    Revealer reveal_;
};

} // namespace vivirov
