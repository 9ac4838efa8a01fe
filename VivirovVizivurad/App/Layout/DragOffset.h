#pragma once
#include <QPointF>

namespace vivirov {

// The offset a dragged panel is drawn at: what finished drags left plus the
// drag in progress. A press becomes a drag only once it moved 6 points.
class DragOffset {
public:
    static constexpr double threshold = 6;

    void press(QPointF at);
    // True while the press has become a drag (this move included).
    bool move(QPointF to);
    // True when the press was a drag; it is then folded into `committed`.
    bool release(QPointF at);
    // Back to the layout position.
    void reset();

    QPointF committed() const { return committed_; }
    QPointF live() const { return live_; }
    QPointF total() const { return committed_ + live_; }
    bool dragging() const { return dragging_; }

private:
    QPointF origin_;
    QPointF committed_;
    QPointF live_;
    bool pressed_ = false;
    bool dragging_ = false;
};

} // namespace vivirov
