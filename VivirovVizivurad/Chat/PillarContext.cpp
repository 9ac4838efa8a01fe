#include "VivirovVizivurad/Chat/PillarContext.h"

#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/WorkerPool.h"
#include "VivirovVizivurad/Chat/Publish.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"

namespace vivirov {

namespace {

// The role's name as the persistence failure line spells it.
const char* roleCaseName(Role role) {
    switch (role) {
    case Role::user: return "user";
    case Role::assistant: return "assistant";
    case Role::toolCall: return "toolCall";
    }
    return "assistant";
}

// Stored rows as transcript rows: new ids, and every role but "user" shows
// as an assistant row.
std::vector<ChatMessage> mappedRows(const std::vector<Message>& stored) {
    std::vector<ChatMessage> rows;
    rows.reserve(stored.size());
    for (const auto& m : stored) {
        ChatMessage row;
        row.id = UUID::random();
        row.role = m.role == "user" ? Role::user : Role::assistant;
        row.content = m.content;
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace

PillarContext::PillarContext(ConversationKind kind, DatabaseManager& db, SwarmOrchestrator* swarm,
                             AgentActivityModel* activity, QObject* parent)
    : QObject(parent),
      kind_(kind),
      db_(db),
      swarm_(swarm ? *swarm : SwarmOrchestrator::shared()),
      activity_(activity ? *activity : AgentActivityModel::shared()),
      saves_(std::string("com.dudive.vivirov.pillar.") + conversationKindText(kind)) {}

PillarContext::~PillarContext() = default;

// MARK: rows and published state

const ChatMessage* PillarContext::message(const UUID& id) const {
    auto index = indexOf(id);
    return index ? &messages_[*index] : nullptr;
}

std::optional<size_t> PillarContext::indexOf(const UUID& id) const {
    auto it = rowIndex_.find(id);
    if (it == rowIndex_.end()) return std::nullopt;
    return it->second;
}

void PillarContext::rebuildIndex() {
    rowIndex_.clear();
    rowIndex_.reserve(messages_.size());
    // The first row with an id wins, as a search from the start would find.
    for (size_t i = 0; i < messages_.size(); ++i) rowIndex_.try_emplace(messages_[i].id, i);
}

void PillarContext::appendMessage(ChatMessage row) {
    rowIndex_.try_emplace(row.id, messages_.size());
    messages_.push_back(std::move(row));
    emit messagesChanged();
    emit changed();
}

void PillarContext::setMessages(std::vector<ChatMessage> rows) {
    messages_ = std::move(rows);
    rebuildIndex();
    emit messagesChanged();
    emit changed();
}

void PillarContext::appendToRow(size_t index, std::string_view text) {
    messages_[index].content.append(text);
    emit messageChanged(int(index));
    emit changed();
}

void PillarContext::setInput(std::string input) {
    publish(*this, input_, std::move(input), &PillarContext::inputChanged);
}

void PillarContext::clearArtifact() {
    publish(*this, currentArtifact_, std::optional<Artifact>{}, &PillarContext::currentArtifactChanged);
}

void PillarContext::setStreaming(bool streaming) {
    if (streaming == isStreaming_) return;
    isStreaming_ = streaming;
    emit isStreamingChanged(streaming);
    emit changed();
}

void PillarContext::setTransactionState(TransactionState state) {
    publish(*this, transactionState_, std::move(state), &PillarContext::transactionStateChanged);
}

void PillarContext::setCognitiveEntropy(float entropy) {
    publish(*this, cognitiveEntropy_, entropy, &PillarContext::cognitiveEntropyChanged);
}

void PillarContext::setLastStats(std::string stats) {
    publish(*this, lastStats_, std::move(stats), &PillarContext::lastStatsChanged);
}

void PillarContext::setSynapticRecall(std::vector<std::string> titles, std::vector<uint32_t> ids) {
    synapticRecall_ = std::move(titles);
    synapticRecallIDs_ = std::move(ids);
    emit synapticRecallChanged();
    emit changed();
}

void PillarContext::setActiveConversationID(std::optional<UUID> id) {
    // Published even when unchanged: choosing the same conversation again is news to observers.
    activeConversationID_ = id;
    emit activeConversationIDChanged();
    emit changed();
}

QString PillarContext::activeConversationText() const {
    return activeConversationID_ ? QString::fromStdString(activeConversationID_->string()) : QString();
}

// MARK: turns

UUID PillarContext::beginTurnConversation() {
    UUID id = activeConversationID_.value_or(UUID::random());
    setActiveConversationID(id);
    turnConvoID_ = id;
    return id;
}

void PillarContext::append(std::string_view text, const UUID& id) {
    if (auto index = indexOf(id)) appendToRow(*index, text);
}

UUID PillarContext::appendToolStart(const std::string& name, const std::string& argsPreview) {
    ChatMessage row;
    row.id = UUID::random();
    row.role = Role::toolCall;
    row.toolName = name;
    row.toolArgsPreview = argsPreview;
    row.toolExecuting = true;
    UUID id = row.id;
    appendMessage(std::move(row));
    setTransactionState(TransactionState::executingTool(name));
    return id;
}

void PillarContext::completeTool(const std::string& name, const std::string& result) {
    auto executing = [](const ChatMessage& m) { return m.role == Role::toolCall && m.toolExecuting; };
    std::optional<size_t> target;
    for (size_t i = messages_.size(); i-- > 0 && !target;) {
        const auto& m = messages_[i];
        if (executing(m) && (name.empty() || m.toolName == name)) target = i;
    }
    for (size_t i = messages_.size(); i-- > 0 && !target;)
        if (executing(messages_[i])) target = i;
    if (target) {
        messages_[*target].toolExecuting = false;
        emit messageChanged(int(*target));
        messages_[*target].toolResult = result;
        emit messageChanged(int(*target));
        emit changed();
    }
    setTransactionState(TransactionState::decodingProse());
}

int PillarContext::startStream(const UUID& assistantRow) {
    ++turnEpoch_;
    coalescer_.begin(assistantRow, turnEpoch_);
    setStreaming(true);
    armFlush(true);
    return turnEpoch_;
}

void PillarContext::endTurn() {
    for (;;) {
        auto taken = coalescer_.takeAll();
        if (taken.text.empty()) break;
        if (!taken.target) continue;
        if (auto index = indexOf(*taken.target)) appendToRow(*index, taken.text);
    }
    refreshArtifact(false);
    stopFlush();
    finishTurnState();
}

void PillarContext::voidTurn() {
    drain(true);
    const bool wasStreaming = isStreaming_;
    ++turnEpoch_;
    coalescer_.reset(); // epoch 0 belongs to no turn: the voided producer's appends are refused
    stopFlush();
    if (wasStreaming && !messages_.empty() && messages_.back().role == Role::assistant)
        persist(Role::assistant, messages_.back().content);
    finishTurnState();
}

void PillarContext::finishTurnState() {
    setStreaming(false);
    setTransactionState(TransactionState::idle());
    setCognitiveEntropy(0);
    swarm_.endTurn();
}

// MARK: saving and loading

void PillarContext::persist(Role role, const std::string& content, const UUID& conversationID) {
    // The time is taken now, and the store makes it later than the
    // conversation's previous row; the serial queue keeps the writes in the
    // same order, so a reload shows the rows as they were added.
    const double createdAt = db_.nextMessageTime(conversationID.string());
    saves_.async([db = &db_, kind = kind_, role, content, conversationID, createdAt] {
        try {
            db->ensureConversation(conversationID, kind, "");
            db->appendMessage(conversationID, databaseRoleText(role), content, std::nullopt, createdAt);
        } catch (const std::exception& e) {
            logLine(std::string("[vivirov] [pillar:") + conversationKindText(kind) + "] persist FAILED (role=" +
                    roleCaseName(role) + "): " + e.what());
        }
    });
}

void PillarContext::persist(Role role, const std::string& content) {
    UUID id = turnConvoID_ ? *turnConvoID_ : beginTurnConversation();
    persist(role, content, id);
}

void PillarContext::persistTitle(const UUID& conversationID, const std::string& title) {
    saves_.async([db = &db_, kind = kind_, conversationID, title] {
        // Each step on its own: the title is still tried when the row exists already.
        try {
            db->ensureConversation(conversationID, kind, "");
        } catch (const std::exception&) {
        }
        try {
            db->updateTitle(conversationID, title);
        } catch (const std::exception&) {
        }
    });
}

void PillarContext::waitForSaves() {
    saves_.sync([] {});
}


void PillarContext::loadFromDatabase(std::function<void()> done) {
    // A turn begun while the store is read owns the transcript: the load
    // then changes nothing.
    const int epoch = turnEpoch_;
    const std::optional<UUID> turn = turnConvoID_;
    auto untouched = [epoch, turn](const PillarContext& pillar) {
        return pillar.turnEpoch_ == epoch && pillar.turnConvoID_ == turn && !pillar.isStreaming_;
    };
    WorkerPool::shared().submit([db = &db_, kind = kind_, self = life_.weak(), untouched,
                                 done = std::move(done)]() mutable {
        std::optional<Conversation> newest;
        try {
            auto list = db->conversations(kind);
            if (!list.empty()) newest = list.front();
        } catch (const std::exception&) {
        }
        if (!newest) {
            postToGui([done] { if (done) done(); });
            return;
        }
        const UUID id = newest->uuid();
        std::optional<std::vector<Message>> stored;
        try {
            stored = db->messages(id);
        } catch (const std::exception&) {
        }
        postToGui([self, id, untouched, stored = std::move(stored), done] {
            auto* pillar = GuiLife<PillarContext>::resolve(self);
            if (pillar && untouched(*pillar)) {
                pillar->setActiveConversationID(id);
                if (stored) pillar->setMessages(mappedRows(*stored));
            }
            if (done) done();
        });
    });
}

void PillarContext::load(const UUID& conversationID, std::function<void()> done) {
    setActiveConversationID(conversationID);
    WorkerPool::shared().submit([db = &db_, conversationID, self = life_.weak(), done = std::move(done)]() mutable {
        std::optional<std::vector<Message>> stored;
        try {
            stored = db->messages(conversationID);
        } catch (const std::exception&) {
        }
        postToGui([self, conversationID, stored = std::move(stored), done] {
            // Another conversation chosen meanwhile wins, whichever read ended first.
            auto* pillar = GuiLife<PillarContext>::resolve(self);
            if (pillar && pillar->activeConversationID_ == conversationID)
                pillar->setMessages(stored ? mappedRows(*stored) : std::vector<ChatMessage>{});
            if (done) done();
        });
    });
}

// MARK: drain

PillarContext::FlushRate PillarContext::flushRate() const {
    if (!flushTimer_) return FlushRate::none;
    return flushHot_ ? FlushRate::hot : FlushRate::cold;
}

void PillarContext::armFlush(bool hot) {
    flushHot_ = hot;
    flushTimer_ = std::make_unique<QTimer>();
    flushTimer_->setTimerType(Qt::PreciseTimer);
    flushTimer_->setInterval(hot ? hotInterval : coldInterval);
    // Queued: the tick runs in its own turn of the loop and may replace the
    // timer that fired it.
    connect(flushTimer_.get(), &QTimer::timeout, this, &PillarContext::flushTick, Qt::QueuedConnection);
    flushTimer_->start();
}

void PillarContext::stopFlush() {
    flushTimer_.reset();
}

void PillarContext::flushTick() {
    drain(true);
    if (isStreaming_) {
        if (!flushHot_) armFlush(true);
        return;
    }
    const bool running = activity_.isRunning();
    if (running != flushHot_) armFlush(running);
}

void PillarContext::drain(bool smooth) {
    auto taken = coalescer_.drain(smooth ? smoothTickChars : 0);
    if (taken.text.empty() || !taken.target) return;
    auto index = indexOf(*taken.target);
    if (!index) return; // the row is gone (transcript replaced): the text goes with it
    swarm_.noteToken(taken.text);
    appendToRow(*index, taken.text);
    if (messages_[*index].role == Role::assistant) refreshArtifact(true);
}

void PillarContext::refreshArtifact(bool streaming) {
    if (kind_ != ConversationKind::cowork) return;
    const ChatMessage* last = nullptr;
    for (size_t i = messages_.size(); i-- > 0;) {
        if (messages_[i].role == Role::assistant) {
            last = &messages_[i];
            break;
        }
    }
    if (!last) return;
    auto artifact = ArtifactEngine::current(last->content, streaming);
    if (!artifact) return;
    // The id and title do not count: a re-extracted block is the same artifact.
    if (currentArtifact_ && currentArtifact_->kind == artifact->kind &&
        currentArtifact_->content == artifact->content && currentArtifact_->isStreaming == artifact->isStreaming)
        return;
    currentArtifact_ = std::move(artifact);
    emit currentArtifactChanged();
    emit changed();
}

} // namespace vivirov
