#include "VivirovVizivurad/App/Columns/PillarTransition.h"

#include <QPainter>
#include <QVariantAnimation>

#include <cmath>

namespace vivirov {

PillarTransition::PillarTransition(QWidget* parent) : QWidget(parent), animation_(new QVariantAnimation(this)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    animation_->setStartValue(0.0);
    animation_->setEndValue(1.0);
    animation_->setDuration(int(std::lround(spring.settleSeconds() * 1000)));
    connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& t) {
        position_ = spring.progress(t.toDouble());
        update();
    });
    connect(animation_, &QVariantAnimation::finished, this, [this] {
        hide();
        from_ = to_ = PillarSnapshot();
    });
    hide();
}

void PillarTransition::start(const QImage& from, const QImage& to) {
    animation_->stop();
    from_ = PillarSnapshot(from);
    to_ = PillarSnapshot(to);
    position_ = 0;
    show();
    raise();
    animation_->start();
}

bool PillarTransition::isRunning() const { return animation_->state() == QAbstractAnimation::Running; }

void PillarTransition::paintFrame(QPainter& painter, const QRectF& target, const PillarSnapshot& from,
                                  const PillarSnapshot& to, double position) {
    from.paint(painter, target, 1 - position);
    to.paint(painter, target, position);
}

void PillarTransition::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // Covers the live screens beneath with the pane's own background.
    painter.fillRect(rect(), palette().color(QPalette::Window));
    paintFrame(painter, QRectF(rect()), from_, to_, position_);
}

} // namespace vivirov
