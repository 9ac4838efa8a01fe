#pragma once
#include <QColor>
#include <QPushButton>

namespace vivirov {

// A capsule button tinted with one colour: the fill is the tint at 0.16
// (0.28 while pressed) and the whole button dims to 0.8 while pressed.
class PillButton : public QPushButton {
    Q_OBJECT
public:
    PillButton(const QString& text, const QColor& tint, QWidget* parent = nullptr);

    QColor tint() const { return tint_; }
    void setTint(const QColor& tint);
    static double fillOpacity(bool pressed) { return pressed ? 0.28 : 0.16; }
    static double buttonOpacity(bool pressed) { return pressed ? 0.8 : 1.0; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor tint_;
};

} // namespace vivirov
