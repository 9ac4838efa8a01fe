#pragma once
#include <QPlainTextEdit>
#include <QWidget>

class QLabel;
class QToolButton;

namespace vivirov {

class QuickAskController;

// The question field: Return and Ctrl+Return send, Shift+Return breaks the line.
class QuickAskField : public QPlainTextEdit {
    Q_OBJECT
public:
    using QPlainTextEdit::QPlainTextEdit;

signals:
    void submitted();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// The panel's content: the sparkle, the growing question field and the send
// button over a row of key hints. Mirrors the controller's draft both ways.
class QuickAskContentView : public QWidget {
    Q_OBJECT
public:
    QuickAskContentView(QuickAskController& controller, QWidget* parent = nullptr);

    QuickAskField* field() const { return field_; }
    QToolButton* sendButton() const { return send_; }
    QLabel* lineCountLabel() const { return lines_; }
    QWidget* editorRow() const { return editorRow_; }
    // The hint texts in order, key then label.
    QStringList hints() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void draftChanged();

    QuickAskController& controller_;
    QWidget* editorRow_;
    QuickAskField* field_;
    QToolButton* send_;
    QLabel* lines_;
    QList<QLabel*> hintLabels_;
};

} // namespace vivirov
