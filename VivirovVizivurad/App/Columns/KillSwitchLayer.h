#pragma once
#include <QWidget>

#include <functional>

class QAbstractButton;
class QGraphicsOpacityEffect;
class QPropertyAnimation;
class QVariantAnimation;

namespace vivirov {

// The hard-stop button's place at the bottom right of the detail pane:
// 56 points square, 22 from the right edge and 150 above the bottom edge.
// It is present only while the rule says something may be running; a
// change of god mode grows it from its centre with a fade, other changes
// are immediate. While absent it takes no input.
class KillSwitchLayer : public QWidget {
    Q_OBJECT
public:
    static constexpr int side = 56;
    static constexpr int rightMargin = 22;
    static constexpr int bottomMargin = 150;
    static constexpr int fadeMs = 200;

    KillSwitchLayer(std::function<void()> stop, QWidget* parent = nullptr);

    // `animated` for changes of god mode only.
    void setPresent(bool present, bool animated);
    bool isPresent() const { return present_; }
    QAbstractButton* button() const { return button_; }
    // Puts itself at its place in a pane of `pane` size.
    void place(const QSize& pane);

private:
    void grow(double amount);

    std::function<void()> stop_;
    QAbstractButton* button_;
    QGraphicsOpacityEffect* fade_;
    QVariantAnimation* animation_;
    QRect home_;
    bool present_ = false;
};

} // namespace vivirov
