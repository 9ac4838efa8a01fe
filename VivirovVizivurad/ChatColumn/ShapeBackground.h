#pragma once
#include <QColor>
#include <QWidget>

#include <functional>

namespace vivirov {

// A widget that draws only its background: a rounded rectangle or a
// capsule, filled and optionally outlined. The look is asked for at each
// paint, so theme colours follow a theme change.
class ShapeBackground : public QWidget {
    Q_OBJECT
public:
    struct Look {
        double radius = -1; // below 0: a capsule
        QColor fill;
        QColor stroke = Qt::transparent;
        double strokeWidth = 0;
    };
    using LookFor = std::function<Look(const QWidget*)>;

    explicit ShapeBackground(LookFor look, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    LookFor look_;
};

} // namespace vivirov
