#pragma once
#include <QAbstractButton>
#include <QColor>

namespace vivirov {

// A 32 × 32 icon button: the icon in `tint`, or in `accent` on an accent
// fill and outline while active, with a faint fill while hovered.
class ChatIconButton : public QAbstractButton {
    Q_OBJECT
public:
    ChatIconButton(QString systemName, double size, QColor tint, bool active, QColor accent, QString help,
                   QWidget* parent = nullptr);

    void setLook(QString systemName, QColor tint, bool active, QColor accent, QString help);
    QString systemName() const { return systemName_; }
    bool isActive() const { return active_; }
    QColor iconColor() const { return active_ ? accent_ : tint_; }
    QSize sizeHint() const override { return {32, 32}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QString systemName_;
    double size_;
    QColor tint_;
    bool active_;
    QColor accent_;
    bool hovering_ = false;
};

} // namespace vivirov
