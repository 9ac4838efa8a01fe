#pragma once
#include <QAbstractButton>
#include <QColor>

namespace vivirov {

// One sidebar row: an optional 2-point selection bar, the symbol in a fixed
// box, one line of text cut with an ellipsis, an optional swatch. The whole
// rectangle takes clicks; hovering tints it unless the row is the active one.
class SidebarRow : public QAbstractButton {
    Q_OBJECT
public:
    struct Style {
        QString symbol;
        double fontSize = 13;
        int symbolBox = 22;
        int spacing = 12;
        int verticalPadding = 9;
        bool hasBar = false;
        bool hoverTint = true;
        bool swatch = false;
    };

    SidebarRow(Style style, const QString& text, QWidget* parent = nullptr);

    // Colours and weights read at each restyle (the theme may have changed).
    void setLook(bool active, const QColor& symbolColor, const QColor& textColor, QFont::Weight weight);
    void setSwatch(const QColor& color) { swatch_ = color; update(); }
    bool isActiveRow() const { return active_; }
    bool showsHoverTint() const { return style_.hoverTint && !active_ && underMouse(); }
    // The bar's colour: cyan on the active row, none otherwise.
    QColor barColor() const { return barColor_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    Style style_;
    bool active_ = false;
    QColor symbolColor_, textColor_, barColor_, swatch_;
};

} // namespace vivirov
