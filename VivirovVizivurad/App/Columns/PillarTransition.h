#pragma once
#include <QWidget>

#include "VivirovVizivurad/App/Columns/PillarLook.h"
#include "VivirovVizivurad/Appearance/SpringEasing.h"

class QVariantAnimation;

namespace vivirov {

// Draws a route change over the route screens from two pictures taken at
// its start, on the route spring. It never takes input: the screens beneath
// have already switched, so clicks and keys reach the new one at once.
class PillarTransition : public QWidget {
    Q_OBJECT
public:
    static constexpr SpringEasing spring{0.45, 0.86};

    explicit PillarTransition(QWidget* parent = nullptr);

    void start(const QImage& from, const QImage& to);
    bool isRunning() const;
    // Spring position of the running change, 0 at its start.
    double position() const { return position_; }

    // One frame: the leaving picture at 1 − position, the coming one at position.
    static void paintFrame(QPainter& painter, const QRectF& target, const PillarSnapshot& from,
                           const PillarSnapshot& to, double position);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVariantAnimation* animation_;
    PillarSnapshot from_;
    PillarSnapshot to_;
    double position_ = 0;
};

} // namespace vivirov
