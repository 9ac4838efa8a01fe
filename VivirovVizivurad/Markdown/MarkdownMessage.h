#pragma once
#include <QUrl>
#include <QWidget>

namespace vivirov {

// A finished message as a column of prose and code blocks. Every change of
// content parses the whole text again.
class MarkdownMessage : public QWidget {
    Q_OBJECT
public:
    MarkdownMessage(const QString& content, bool isUser, QWidget* parent = nullptr);

    void setContent(const QString& content, bool isUser);
    const QString& content() const { return content_; }

signals:
    void linkActivated(const QUrl& url);

private:
    QString content_;
};

} // namespace vivirov
