#include "VivirovVizivurad/ChatColumn/TranscriptView.h"

#include <QHBoxLayout>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <unordered_map>

#include "VivirovVizivurad/ChatColumn/ActivityBadge.h"
#include "VivirovVizivurad/ChatColumn/BubbleContent.h"
#include "VivirovVizivurad/ChatColumn/MessageBubble.h"

namespace vivirov {

// A row's place in the list: a fixed estimate until the row is first near
// the visible area, then the bubble itself.
class TranscriptSlot : public QWidget {
public:
    static constexpr int estimatedHeight = 56;

    TranscriptSlot(UUID id, QWidget* parent) : QWidget(parent), id_(id) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        setFixedHeight(estimatedHeight);
    }
    const UUID& id() const { return id_; }
    MessageBubble* bubble() const { return bubble_; }
    void build(const TranscriptRow& row) {
        if (bubble_) return;
        setMinimumHeight(0);
        setMaximumHeight(QWIDGETSIZE_MAX);
        bubble_ = new MessageBubble(row.message, row.streaming, this);
        layout()->addWidget(bubble_);
        bubble_->show();
    }

private:
    UUID id_;
    MessageBubble* bubble_ = nullptr;
};

TranscriptView::TranscriptView(TranscriptModel& model, QWidget* parent) : QScrollArea(parent), model_(model) {
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWidgetResizable(false);
    viewport()->setAutoFillBackground(false);
    content_ = new QWidget;
    content_->setAutoFillBackground(false);
    layout_ = new QVBoxLayout(content_);
    layout_->setContentsMargins(sidePadding, endPadding, sidePadding, endPadding);
    layout_->setSpacing(rowSpacing);
    layout_->addStretch(1);
    setWidget(content_);

    connect(&model_, &TranscriptModel::updated, this, &TranscriptView::apply);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &TranscriptView::buildVisibleRows);
    reconcile();
    placeBadge();
}

TranscriptView::~TranscriptView() = default;

MessageBubble* TranscriptView::bubbleAt(int index) const {
    if (index < 0 || index >= int(slots_.size())) return nullptr;
    return slots_[size_t(index)]->bubble();
}

int TranscriptView::builtRowCount() const {
    return int(std::count_if(slots_.begin(), slots_.end(), [](TranscriptSlot* s) { return s->bubble() != nullptr; }));
}

void TranscriptView::apply(const TranscriptModel::Update& update) {
    ++updates_;
    if (update.structural) reconcile();
    const auto& rows = model_.rows();
    for (int index : update.changedRows) {
        if (index < 0 || index >= int(slots_.size())) continue;
        if (MessageBubble* bubble = slots_[size_t(index)]->bubble()) {
            bubble->setInputs(rows[size_t(index)].message, rows[size_t(index)].streaming);
            ++rowRefreshes_;
        }
    }
    if (update.badgeChanged) placeBadge();
    fitContent();
    if (update.scrollToBottom) scrollToLastRow();
    buildVisibleRows();
}

void TranscriptView::reconcile() {
    const auto& rows = model_.rows();
    std::unordered_map<UUID, TranscriptSlot*> kept;
    for (TranscriptSlot* slot : slots_) kept.emplace(slot->id(), slot);
    std::vector<TranscriptSlot*> next;
    next.reserve(rows.size());
    for (const TranscriptRow& row : rows) {
        auto found = kept.find(row.message.id);
        if (found != kept.end()) {
            next.push_back(found->second);
            kept.erase(found);
        } else {
            next.push_back(new TranscriptSlot(row.message.id, content_));
        }
    }
    for (auto& [id, gone] : kept) delete gone;
    // Lay the rows out again in the new order, before the badge row.
    for (TranscriptSlot* slot : next) layout_->removeWidget(slot);
    if (badgeRow_) layout_->removeWidget(badgeRow_);
    int at = 0;
    for (TranscriptSlot* slot : next) {
        layout_->insertWidget(at++, slot);
        slot->show();
    }
    if (badgeRow_) layout_->insertWidget(at, badgeRow_);
    slots_ = std::move(next);
}

void TranscriptView::placeBadge() {
    const auto& badge = model_.badge();
    if (badgeRow_ && badge == shownBadge_) return;
    shownBadge_ = badge;
    delete badgeRow_;
    badgeRow_ = nullptr;
    badge_ = nullptr;
    badgeKey_ = badge.key();
    if (badge.kind == TranscriptRules::BadgeRow::Kind::none) return;
    badgeRow_ = new QWidget(content_);
    badgeRow_->setObjectName(badgeKey_);
    auto* row = new QHBoxLayout(badgeRow_);
    row->setContentsMargins(0, 0, 0, 0);
    if (badge.kind == TranscriptRules::BadgeRow::Kind::tool)
        badge_ = new ToolBadge(QString::fromStdString(badge.toolName), badgeRow_);
    else
        badge_ = new SynthesizingBadge(badgeRow_);
    row->addWidget(badge_, 0, Qt::AlignVCenter);
    row->addSpacerItem(new QSpacerItem(BubbleContent::oppositeGap, 0, QSizePolicy::MinimumExpanding));
    layout_->insertWidget(int(slots_.size()), badgeRow_);
    badgeRow_->show();
}

void TranscriptView::fitContent() {
    const int width = viewport()->width();
    layout_->activate();
    const int height = layout_->hasHeightForWidth() ? layout_->totalHeightForWidth(width)
                                                    : layout_->totalSizeHint().height();
    content_->resize(width, std::max(height, viewport()->height()));
    // Place the rows now: the lazy build and the scroll read their positions.
    layout_->setGeometry(content_->rect());
}

void TranscriptView::scrollToLastRow() {
    if (slots_.empty()) return;
    ++scrolls_;
    slots_.back()->build(model_.rows().back());
    fitContent();
    const QRect last = slots_.back()->geometry();
    verticalScrollBar()->setValue(std::max(0, last.bottom() + 1 - viewport()->height()));
}

void TranscriptView::buildVisibleRows() {
    // Row positions are known only once the list is on screen and laid out.
    if (slots_.empty() || !isVisible()) return;
    // Rows are stacked top to bottom: find the first one reaching the visible
    // band (with a margin), then build until one starts below it.
    const int margin = viewport()->height() / 2;
    const int top = verticalScrollBar()->value() - margin;
    const int bottom = verticalScrollBar()->value() + viewport()->height() + margin;
    auto first = std::lower_bound(slots_.begin(), slots_.end(), top,
                                  [](TranscriptSlot* slot, int y) { return slot->geometry().bottom() < y; });
    bool built = false;
    const auto& rows = model_.rows();
    for (auto it = first; it != slots_.end() && (*it)->geometry().top() <= bottom; ++it) {
        if ((*it)->bubble()) continue;
        (*it)->build(rows[size_t(it - slots_.begin())]);
        built = true;
    }
    if (built) fitContent();
}

void TranscriptView::showEvent(QShowEvent* event) {
    QScrollArea::showEvent(event);
    fitContent();
    buildVisibleRows();
}

void TranscriptView::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    fitContent();
    buildVisibleRows();
}

} // namespace vivirov
