#pragma once
#include <QObject>
#include <QTimer>

#include <optional>
#include <string>
#include <vector>

#include "VivirovVizivurad/ChatColumn/TranscriptRules.h"
#include "VivirovVizivurad/Store/ChatMessage.h"

namespace vivirov {

class PillarContext;

// One transcript row as the list draws it.
struct TranscriptRow {
    ChatMessage message;
    bool streaming = false;
};

// The chat list's state over a pillar: its rows keyed by message id with
// their streaming flags, the badge row and the follow-the-end scroll rule.
// The pillar may change 120 times a second; the model gathers its changes
// and publishes them at most once a frame, naming only what changed, so the
// list touches only those rows.
class TranscriptModel : public QObject {
    Q_OBJECT
public:
    struct Update {
        bool structural = false;      // rows were added, removed or reordered
        std::vector<int> changedRows; // rows whose inputs changed, by index
        bool badgeChanged = false;
        bool scrollToBottom = false;  // the last message's text changed
    };

    static constexpr int frameMilliseconds = 16;

    explicit TranscriptModel(PillarContext& pillar, QObject* parent = nullptr);

    const std::vector<TranscriptRow>& rows() const { return rows_; }
    const TranscriptRules::BadgeRow& badge() const { return badge_; }
    PillarContext& pillar() { return pillar_; }

    // Publishes what is pending now instead of at the next frame.
    void flushNow();
    bool hasPending() const { return frameTimer_.isActive(); }

signals:
    void updated(const vivirov::TranscriptModel::Update& update);

private:
    void schedule();
    void flush();
    void rebuildRows(Update& update);
    void refreshRow(size_t index, Update& update);
    TranscriptRow rowAt(size_t index) const;

    PillarContext& pillar_;
    std::vector<TranscriptRow> rows_;
    TranscriptRules::BadgeRow badge_;
    std::optional<std::string> followed_;
    std::optional<size_t> streamingRow_;
    bool structuralDirty_ = false;
    bool streamDirty_ = false;
    std::vector<size_t> dirtyRows_;
    QTimer frameTimer_;
};

} // namespace vivirov
