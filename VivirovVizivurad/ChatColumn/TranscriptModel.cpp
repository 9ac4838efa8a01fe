#include "VivirovVizivurad/ChatColumn/TranscriptModel.h"

#include <algorithm>
#include <unordered_map>

#include "VivirovVizivurad/Chat/PillarContext.h"

namespace vivirov {
namespace {

bool sameInputs(const TranscriptRow& a, const TranscriptRow& b) {
    const ChatMessage& x = a.message;
    const ChatMessage& y = b.message;
    return a.streaming == b.streaming && x.role == y.role && x.toolExecuting == y.toolExecuting &&
           x.content == y.content && x.toolName == y.toolName && x.toolArgsPreview == y.toolArgsPreview &&
           x.toolResult == y.toolResult;
}

} // namespace

TranscriptModel::TranscriptModel(PillarContext& pillar, QObject* parent) : QObject(parent), pillar_(pillar) {
    frameTimer_.setSingleShot(true);
    frameTimer_.setInterval(frameMilliseconds);
    connect(&frameTimer_, &QTimer::timeout, this, &TranscriptModel::flush);
    connect(&pillar_, &PillarContext::messagesChanged, this, [this] {
        structuralDirty_ = true;
        schedule();
    });
    connect(&pillar_, &PillarContext::messageChanged, this, [this](int index) {
        if (index >= 0) dirtyRows_.push_back(size_t(index));
        schedule();
    });
    connect(&pillar_, &PillarContext::isStreamingChanged, this, [this] {
        streamDirty_ = true;
        schedule();
    });
    connect(&pillar_, &PillarContext::transactionStateChanged, this, &TranscriptModel::schedule);

    Update initial;
    rebuildRows(initial);
    badge_ = TranscriptRules::badgeFor(pillar_.transactionState());
    followed_ = TranscriptRules::followedContent(pillar_.messages());
}

void TranscriptModel::schedule() {
    if (!frameTimer_.isActive()) frameTimer_.start();
}

void TranscriptModel::flushNow() {
    frameTimer_.stop();
    flush();
}

TranscriptRow TranscriptModel::rowAt(size_t index) const {
    const auto& messages = pillar_.messages();
    return {messages[index], TranscriptRules::isStreamingRow(messages, index, pillar_.isStreaming())};
}

void TranscriptModel::rebuildRows(Update& update) {
    const auto& messages = pillar_.messages();
    std::vector<TranscriptRow> rows;
    rows.reserve(messages.size());
    bool sameIds = messages.size() == rows_.size();
    streamingRow_.reset();
    for (size_t i = 0; i < messages.size(); ++i) {
        rows.push_back(rowAt(i));
        if (rows.back().streaming) streamingRow_ = i;
        if (sameIds && rows_[i].message.id != messages[i].id) sameIds = false;
    }
    if (sameIds) {
        for (size_t i = 0; i < rows.size(); ++i)
            if (!sameInputs(rows[i], rows_[i])) update.changedRows.push_back(int(i));
    } else {
        // Rows kept across the change are matched by id: only those whose
        // inputs differ are named, besides the rows that came or went.
        update.structural = true;
        std::unordered_map<UUID, size_t> before;
        for (size_t i = 0; i < rows_.size(); ++i) before.emplace(rows_[i].message.id, i);
        for (size_t i = 0; i < rows.size(); ++i) {
            auto found = before.find(rows[i].message.id);
            if (found != before.end() && !sameInputs(rows[i], rows_[found->second]))
                update.changedRows.push_back(int(i));
        }
    }
    rows_ = std::move(rows);
}

void TranscriptModel::refreshRow(size_t index, Update& update) {
    if (index >= rows_.size()) return;
    TranscriptRow row = rowAt(index);
    if (sameInputs(row, rows_[index])) return;
    rows_[index] = std::move(row);
    if (std::find(update.changedRows.begin(), update.changedRows.end(), int(index)) == update.changedRows.end())
        update.changedRows.push_back(int(index));
}

void TranscriptModel::flush() {
    Update update;
    const auto& messages = pillar_.messages();
    if (structuralDirty_ || messages.size() != rows_.size()) {
        rebuildRows(update);
    } else {
        for (size_t index : dirtyRows_) refreshRow(index, update);
        if (streamDirty_) {
            if (streamingRow_) refreshRow(*streamingRow_, update);
            if (!rows_.empty()) refreshRow(rows_.size() - 1, update);
            streamingRow_.reset();
            if (!rows_.empty() && rows_.back().streaming) streamingRow_ = rows_.size() - 1;
        }
    }
    structuralDirty_ = streamDirty_ = false;
    dirtyRows_.clear();

    auto badge = TranscriptRules::badgeFor(pillar_.transactionState());
    if (badge != badge_) {
        badge_ = std::move(badge);
        update.badgeChanged = true;
    }
    auto followed = TranscriptRules::followedContent(messages);
    if (followed != followed_) {
        update.scrollToBottom = followed.has_value();
        followed_ = std::move(followed);
    }
    if (update.structural || !update.changedRows.empty() || update.badgeChanged || update.scrollToBottom)
        emit updated(update);
}

} // namespace vivirov
