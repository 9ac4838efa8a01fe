#pragma once
#include <QWidget>

#include <array>

#include "VivirovVizivurad/App/AppRoute.h"

namespace vivirov {

class PillarTransition;

// The four route screens laid over each other, all built once and kept for
// the window's life. Only the current route's screen is shown and takes
// input; the others stay built (scroll position, view state and model
// observation intact) but hidden. A change of route switches input at once
// and plays the transition over the screens.
class PillarStack : public QWidget {
    Q_OBJECT
public:
    explicit PillarStack(AppRoute current, QWidget* parent = nullptr);

    // Puts a route's screen in its slot, replacing (and deleting) the one there.
    void setPillar(AppRoute route, QWidget* pillar);
    QWidget* pillar(AppRoute route) const { return pillars_[index(route)]; }
    AppRoute current() const { return current_; }
    void showRoute(AppRoute route, bool animated = true);
    PillarTransition* transition() const { return transition_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    static size_t index(AppRoute route) { return static_cast<size_t>(route); }

    std::array<QWidget*, 4> pillars_{};
    AppRoute current_;
    PillarTransition* transition_;
};

} // namespace vivirov
