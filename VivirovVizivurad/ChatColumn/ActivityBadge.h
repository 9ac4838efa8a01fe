#pragma once
#include <QColor>
#include <QString>
#include <QWidget>

class QVariantAnimation;

namespace vivirov {

// A small badge under the last message saying what the turn does while no
// text appears: an icon and a label in the badge's colour on the regular
// material. The tool badge's border pulses; the synthesizing badge wears a
// moving highlight that brightens only its glyphs. Nothing moves under
// Reduce Motion.
class ActivityBadge : public QWidget {
    Q_OBJECT
public:
    enum class Motion { pulse, shimmer };

    QString label() const { return label_; }
    QString symbol() const { return symbol_; }
    double borderOpacity() const;
    // The highlight band's position, -1 to 1.
    double shimmerPhase() const { return phase_; }
    bool isAnimating() const;

    QSize sizeHint() const override;

    static constexpr int shimmerMilliseconds = 1350;
    static constexpr int pulseMilliseconds = 700;

protected:
    ActivityBadge(QString symbol, QString label, QColor color, Motion motion, QWidget* parent);
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void paintGlyphs(QPainter& painter, const QRectF& area) const;
    void paintShimmer(QPainter& painter, const QRectF& area) const;

    QString symbol_;
    QString label_;
    QColor color_;
    Motion motion_;
    double glow_ = 0;   // 0 to 1 between the border's two opacities
    double phase_ = -1;
    QVariantAnimation* animation_ = nullptr;
};

// "Executing <name>…" while a host tool runs.
class ToolBadge final : public ActivityBadge {
    Q_OBJECT
public:
    explicit ToolBadge(const QString& name, QWidget* parent = nullptr);
};

// "Synthesizing Architecture…" while a code transaction is open.
class SynthesizingBadge final : public ActivityBadge {
    Q_OBJECT
public:
    explicit SynthesizingBadge(QWidget* parent = nullptr);
};

} // namespace vivirov
