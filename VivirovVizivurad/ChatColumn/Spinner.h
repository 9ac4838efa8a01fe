#pragma once
#include <QTimer>
#include <QWidget>

namespace vivirov {

// A small indeterminate progress indicator: a turning arc. It turns only
// while visible and Reduce Motion is off.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(int side, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {side_, side_}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    int side_;
    int angle_ = 0;
    QTimer timer_;
};

} // namespace vivirov
