#pragma once
#include <QWidget>

#include <optional>

#include "VivirovVizivurad/Chat/PendingCommand.h"

class QLabel;
class QShortcut;
class QTextBrowser;

namespace vivirov {

class DraggablePanel;
class QuintoraViewModel;
class VerdictButton;

// The permission card, laid over the detail pane while the controller
// waits for a verdict: the tool, the command coloured, Deny and Execute.
// Each verdict answers the request the card shows. Escape denies from
// anywhere in the window; Return executes only while the card has the
// keyboard focus, so a Return meant for the composer never approves a
// command the user has not looked at. Outside the card, clicks reach the
// pane below.
class CommandCardOverlay : public QWidget {
    Q_OBJECT
public:
    static constexpr int maxCardWidth = 560;
    static constexpr int bottomPadding = 104;
    static constexpr int sidePadding = 24;

    explicit CommandCardOverlay(QuintoraViewModel& vm, QWidget* parent);

    // The request on screen, if any.
    const std::optional<PendingCommand>& shown() const { return shown_; }
    QWidget* card() const { return card_; }
    VerdictButton* denyButton() const { return deny_; }
    VerdictButton* executeButton() const { return execute_; }
    QLabel* toolLabel() const { return tool_; }
    QTextBrowser* commandText() const { return command_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void sync();
    void place();
    void answer(bool approved);

    QuintoraViewModel& vm_;
    std::optional<PendingCommand> shown_;
    QWidget* card_;
    DraggablePanel* drag_;
    QLabel* tool_;
    QTextBrowser* command_;
    VerdictButton* deny_;
    VerdictButton* execute_;
    QShortcut* escape_;
};

} // namespace vivirov
