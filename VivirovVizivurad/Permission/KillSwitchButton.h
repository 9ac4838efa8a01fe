#pragma once
#include <QAbstractButton>

#include <functional>

class QVariantAnimation;

namespace vivirov {

// The big red stop button: a crimson octagon with a white stop symbol that
// breathes while shown. Each click runs `action` once.
class KillSwitchButton : public QAbstractButton {
    Q_OBJECT
public:
    static inline const QString accessibilityLabel = QStringLiteral("Kill switch \u2014 hard stop the swarm");
    static inline const QString help =
        QStringLiteral("Hard stop \u2014 cancel generation and tear down all running tools");
    static constexpr int breathMilliseconds = 900;

    KillSwitchButton(std::function<void()> action, double side, QWidget* parent = nullptr);

    // 0 (rest) to 1 (scaled by 1.06 with the stronger shadow).
    double pulse() const { return pulse_; }
    bool isBreathing() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    std::function<void()> action_;
    double side_;
    double pulse_ = 0;
    QVariantAnimation* breath_;
};

} // namespace vivirov
