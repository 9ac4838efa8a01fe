#pragma once
#include <QScrollArea>

#include <vector>

#include "VivirovKit/Support/UUID.h"
#include "VivirovVizivurad/ChatColumn/TranscriptModel.h"

class QVBoxLayout;

namespace vivirov {

class MessageBubble;
class TranscriptSlot;

// The chat list: one row per message, keyed by the message id, built only
// when it comes near the visible area; then at most one badge row. It
// follows the end without animation each time the last message's text
// changes, and only then.
class TranscriptView : public QScrollArea {
    Q_OBJECT
public:
    static constexpr int rowSpacing = 14;
    static constexpr int sidePadding = 22;
    static constexpr int endPadding = 18;

    explicit TranscriptView(TranscriptModel& model, QWidget* parent = nullptr);
    ~TranscriptView() override;

    int rowCount() const { return int(slots_.size()); }
    // The row's bubble, or null while the row is not built yet.
    MessageBubble* bubbleAt(int index) const;
    int builtRowCount() const;
    // The badge row's key ("tool-indicator", …; empty when none) and widget.
    QString badgeKey() const { return badgeKey_; }
    QWidget* badgeWidget() const { return badge_; }
    // Updates applied, row refreshes made and scrolls to the end so far.
    int updateCount() const { return updates_; }
    int rowRefreshCount() const { return rowRefreshes_; }
    int scrollCount() const { return scrolls_; }
    // Aligns the last message's row to the bottom edge.
    void scrollToLastRow();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void apply(const TranscriptModel::Update& update);
    void reconcile();
    void placeBadge();
    void fitContent();
    void buildVisibleRows();

    TranscriptModel& model_;
    QWidget* content_;
    QVBoxLayout* layout_;
    std::vector<TranscriptSlot*> slots_;
    QWidget* badgeRow_ = nullptr;
    QWidget* badge_ = nullptr;
    QString badgeKey_;
    TranscriptRules::BadgeRow shownBadge_;
    int updates_ = 0;
    int rowRefreshes_ = 0;
    int scrolls_ = 0;
};

} // namespace vivirov
