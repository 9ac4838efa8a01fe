#pragma once
#include <QTextBrowser>

namespace vivirov {

// A read-only, selectable text view as tall as its text: no frame, no
// background, no vertical scrolling. Links are reported, never followed.
class FittedTextView : public QTextBrowser {
    Q_OBJECT
public:
    explicit FittedTextView(QWidget* parent = nullptr);

    // Long lines scroll sideways (without a scroll bar) instead of wrapping.
    void setNoWrap();

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Takes the height of the text at the current width.
    void fit();

protected:
    void resizeEvent(QResizeEvent* event) override;
};

} // namespace vivirov
