#pragma once
#include <QImage>
#include <QRectF>
#include <QTransform>

class QPainter;

namespace vivirov {

// How a route screen looks between shown (activeness 1) and hidden (0):
// faded, blurred, a little smaller and tipped back about its horizontal axis.
struct PillarLook {
    static constexpr double hiddenBlur = 18;
    static constexpr double hiddenScale = 0.96;
    static constexpr double hiddenAngleDegrees = -14;
    static constexpr double perspective = 0.55;

    double opacity = 1;
    double blur = 0;
    double scale = 1;
    double angleDegrees = 0;

    static PillarLook at(double activeness);
    // Maps a picture of `source` logical size, centred on `target`, to the
    // screen: scaled about its centre, then turned about the horizontal axis
    // through the centre with the perspective above.
    QTransform transform(const QSizeF& source, const QRectF& target) const;
};

// One route screen's picture, prepared once per transition: a sharp copy at
// reduced resolution and a heavily blurred copy, both drawn scaled up, so a
// frame costs a few transformed blits and no blur.
class PillarSnapshot {
public:
    PillarSnapshot() = default;
    explicit PillarSnapshot(const QImage& grab);

    bool isNull() const { return sharp_.isNull(); }
    // Draws the picture over `target` with the look of `activeness`.
    void paint(QPainter& painter, const QRectF& target, double activeness) const;

private:
    QSizeF logical_;
    QImage sharp_;
    QImage blurred_;
};

} // namespace vivirov
