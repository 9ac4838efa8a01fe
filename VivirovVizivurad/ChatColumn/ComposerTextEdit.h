#pragma once
#include <QPlainTextEdit>

namespace vivirov {

// The composer's text field: no frame or background of its own, a
// placeholder, one line tall growing to five and scrolling beyond. Return
// submits; Shift+Return breaks the line.
class ComposerTextEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int maxLines = 5;
    explicit ComposerTextEdit(QWidget* parent = nullptr);

    int visibleLines() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    void submitted();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitHeight();
    int lineCount() const;
};

} // namespace vivirov
