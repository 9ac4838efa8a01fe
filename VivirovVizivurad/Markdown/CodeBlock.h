#pragma once
#include <QWidget>
#include <functional>
#include <optional>

class QLabel;
class QToolButton;

namespace vivirov {

class FittedTextView;

// A code block of a finished message: a dark card with the language, a Copy
// button and the code, whose long lines scroll sideways.
class CodeBlock : public QWidget {
    Q_OBJECT
public:
    static constexpr int copiedMs = 1600;
    // Runs a job after a delay on the GUI thread; tests replace it.
    using Scheduler = std::function<void(int ms, std::function<void()> job)>;

    CodeBlock(const std::optional<QString>& language, const QString& code, QWidget* parent = nullptr);

    // Puts the code on the clipboard and shows "Copied" for 1.6 s. Each copy
    // schedules its own reset; a second one does not extend the first.
    void copy();

    bool copied() const { return copied_; }
    QString label() const;        // "JSON", or "CODE" without a language
    QString copyText() const;     // "Copy" or "Copied"
    QToolButton* copyButton() const { return copyButton_; }
    void setScheduler(Scheduler scheduler) { schedule_ = std::move(scheduler); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void setCopied(bool copied);

    QString code_;
    bool copied_ = false;
    QLabel* language_ = nullptr;
    QToolButton* copyButton_ = nullptr;
    QWidget* header_ = nullptr;
    FittedTextView* codeView_ = nullptr;
    Scheduler schedule_;
};

} // namespace vivirov
