#pragma once
#include <QAbstractButton>

class QVariantAnimation;

namespace vivirov {

// The composer's "Web" pill: a globe that turns once every 2.4 s while web
// search is on, and comes back upright within 0.2 s when it goes off.
class WebSearchPill : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int spinMilliseconds = 2400;

    explicit WebSearchPill(QWidget* parent = nullptr);

    void setOn(bool on);
    bool isOn() const { return on_; }
    // The globe's rotation in degrees, 0 when upright.
    double globeAngle() const { return angle_; }
    bool isSpinning() const;
    QSize sizeHint() const override { return {64, 28}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool on_ = false;
    double angle_ = 0;
    QVariantAnimation* spin_;
};

} // namespace vivirov
