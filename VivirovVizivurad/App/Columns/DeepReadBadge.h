#pragma once
#include <QWidget>

class QGraphicsOpacityEffect;
class QPropertyAnimation;

namespace vivirov {

// The "Deep Read" capsule at the top right of the detail pane, 12 below the
// top edge and 16 from the right. Decoration only: clicks pass through it.
// It fades in and out over 0.2 s.
class DeepReadBadge : public QWidget {
    Q_OBJECT
public:
    static constexpr int topMargin = 12;
    static constexpr int rightMargin = 16;
    static constexpr int fadeMs = 200;

    explicit DeepReadBadge(QWidget* parent = nullptr);

    void setShown(bool shown);
    bool isShown() const { return shown_; }
    void place(const QSize& pane);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QGraphicsOpacityEffect* fade_;
    QPropertyAnimation* animation_;
    bool shown_ = false;
};

} // namespace vivirov
