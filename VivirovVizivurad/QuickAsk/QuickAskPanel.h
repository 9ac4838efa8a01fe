#pragma once
#include <QWidget>

namespace vivirov {

class QuickAskContentView;
class QuickAskController;

// The floating Quick Ask window: frameless, above other windows on every
// workspace, a tool window that takes keys without raising the main
// window. Movable by dragging its background.
class QuickAskPanel : public QWidget {
    Q_OBJECT
public:
    explicit QuickAskPanel(QuickAskController& controller);
    QuickAskContentView* content() const { return content_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void stickToAllWorkspaces();

    QuickAskContentView* content_;
};

} // namespace vivirov
