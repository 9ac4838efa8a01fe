#pragma once
#include <QWidget>

#include <map>

namespace vivirov {

class ContentViewModel;
class DeepReadBadge;
class GodModeChrome;
class KillSwitchLayer;
class PillarStack;

// The window's centre column: the route screens at the back and the
// window's overlays above them in a fixed order. Decorative layers (the
// god-mode chrome, the deep-read badge) never take input.
class DetailPane : public QWidget {
    Q_OBJECT
public:
    // Full-pane layers other work lays over the screens, back to front.
    enum class Layer { hud = 2, godChrome = 3, cockpit = 4, commandCard = 5, cockpitToggle = 6 };

    explicit DetailPane(ContentViewModel& model, QWidget* parent = nullptr);

    PillarStack* pillars() const { return pillars_; }
    GodModeChrome* godChrome() const { return godChrome_; }
    KillSwitchLayer* killSwitch() const { return killSwitch_; }
    DeepReadBadge* deepReadBadge() const { return badge_; }
    // Puts `overlay` in its layer over the whole pane, replacing what was there.
    void placeOverlay(Layer layer, QWidget* overlay);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void restack();
    void syncKillSwitch();
    void syncGodMode();
    void syncDeepRead();

    ContentViewModel& model_;
    PillarStack* pillars_;
    GodModeChrome* godChrome_;
    KillSwitchLayer* killSwitch_;
    DeepReadBadge* badge_;
    std::map<Layer, QWidget*> overlays_;
    bool godShown_ = false;
};

} // namespace vivirov
