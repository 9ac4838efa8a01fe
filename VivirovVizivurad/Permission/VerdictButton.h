#pragma once
#include <QAbstractButton>
#include <QColor>

namespace vivirov {

// A verdict of the permission card: white label and icon on a rounded
// fill of the tint, dimmed to 78 % and shrunk to 0.98 while pressed.
class VerdictButton : public QAbstractButton {
    Q_OBJECT
public:
    static QColor green() { return QColor::fromRgbF(0.2f, 0.72f, 0.4f); }

    VerdictButton(QString symbol, const QString& title, QColor tint, QWidget* parent = nullptr);
    QColor tint() const { return tint_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    QColor tint_;
};

} // namespace vivirov
