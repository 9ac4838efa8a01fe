#include "VivirovVizivurad/App/Columns/PillarLook.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vivirov {
namespace {

// The sharp copy keeps half the pixels in each direction; the blurred copy is
// shrunk far enough that scaling it back up smears about the hidden blur.
constexpr double kSharpScale = 0.5;
constexpr double kBlurScale = 1.0 / 12;

QImage shrunk(const QImage& image, double factor) {
    const QSize size(std::max(1, int(std::lround(image.width() * factor))),
                     std::max(1, int(std::lround(image.height() * factor))));
    return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

PillarLook PillarLook::at(double activeness) {
    const double hidden = 1 - activeness; // a spring may overshoot a little either way
    PillarLook look;
    look.opacity = std::clamp(activeness, 0.0, 1.0);
    look.blur = std::max(0.0, hiddenBlur * hidden);
    look.scale = 1 - (1 - hiddenScale) * hidden;
    look.angleDegrees = hiddenAngleDegrees * hidden;
    return look;
}

QTransform PillarLook::transform(const QSizeF& source, const QRectF& target) const {
    const double theta = angleDegrees * std::numbers::pi / 180;
    const double depth = std::max(source.width(), source.height()) / perspective;
    // Row-vector projective map: y is foreshortened and w grows with the
    // depth the turn gives each row.
    const QTransform turn(1, 0, 0, 0, std::cos(theta), -std::sin(theta) / depth, 0, 0, 1);
    return QTransform::fromTranslate(-source.width() / 2, -source.height() / 2) * QTransform::fromScale(scale, scale) *
           turn * QTransform::fromTranslate(target.center().x(), target.center().y());
}

PillarSnapshot::PillarSnapshot(const QImage& grab) {
    if (grab.isNull()) return;
    logical_ = grab.deviceIndependentSize();
    sharp_ = shrunk(grab, kSharpScale);
    blurred_ = shrunk(grab, kBlurScale);
}

void PillarSnapshot::paint(QPainter& painter, const QRectF& target, double activeness) const {
    const PillarLook look = PillarLook::at(activeness);
    if (isNull() || look.opacity <= 0.002) return;
    const QTransform place = look.transform(logical_, target);
    const double sharpness = std::clamp(1 - look.blur / PillarLook::hiddenBlur, 0.0, 1.0);
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    auto draw = [&](const QImage& image, double opacity) {
        painter.setOpacity(opacity);
        painter.setTransform(QTransform::fromScale(logical_.width() / image.width(),
                                                   logical_.height() / image.height()) * place);
        painter.drawImage(QPointF(0, 0), image);
    };
    if (sharpness < 0.98) draw(blurred_, look.opacity);
    if (sharpness > 0.02) draw(sharp_, look.opacity * sharpness);
    painter.restore();
}

} // namespace vivirov
