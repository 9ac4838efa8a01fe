#pragma once
#include <QWidget>

class QVariantAnimation;

namespace vivirov {

// The armed window while the permission mode is god: a crimson tint over
// the whole area and, at the top, a red scan line sweeping left to right
// above the banner "AUTONOMOUS SWARM ACTIVE". It draws nothing while
// inactive and never takes input: clicks reach the window below.
class GodModeChrome : public QWidget {
    Q_OBJECT
public:
    static constexpr int sweepMilliseconds = 2200;
    static inline const QString bannerText = QStringLiteral("AUTONOMOUS SWARM ACTIVE");

    explicit GodModeChrome(bool active, QWidget* parent = nullptr);

    void setActive(bool active);
    bool isActive() const { return active_; }
    // The sweep's progress, 0 (segment left of the line) to 1 (past its end).
    double sweep() const { return sweep_; }
    bool isSweeping() const;
    // Height of the scan line and banner at the top.
    int bannerHeight() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool active_ = false;
    double sweep_ = 0;
    QVariantAnimation* sweepAnimation_;
};

} // namespace vivirov
