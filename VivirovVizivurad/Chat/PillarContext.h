#pragma once
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "VivirovKit/Agentic/ArtifactEngine.h"
#include "VivirovVizivurad/Chat/GuiThread.h"
#include "VivirovVizivurad/Chat/TransactionState.h"
#include "VivirovKit/Support/SerialQueue.h"
#include "VivirovVizivurad/EngineHost/StreamCoalescer.h"
#include "VivirovVizivurad/Store/ChatMessage.h"
#include "VivirovVizivurad/Store/StoreRecords.h"

namespace vivirov {

class AgentActivityModel;
class DatabaseManager;
class SwarmOrchestrator;

// The transcript of one kind of conversation (chat or co-work): its rows,
// the conversation they belong to, the streaming state of the current turn,
// the drain that moves streamed text into the assistant row at a readable
// pace, and the saving of rows to the store.
//
// GUI thread only, except the coalescer, which producers append to from any
// thread with the epoch startStream() returned.
class PillarContext : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString input READ inputText WRITE setInputText NOTIFY inputChanged)
    Q_PROPERTY(bool isStreaming READ isStreaming WRITE setStreaming NOTIFY isStreamingChanged)
    Q_PROPERTY(float cognitiveEntropy READ cognitiveEntropy WRITE setCognitiveEntropy NOTIFY cognitiveEntropyChanged)
    Q_PROPERTY(QString lastStats READ lastStatsText NOTIFY lastStatsChanged)
    Q_PROPERTY(QString activeConversationID READ activeConversationText NOTIFY activeConversationIDChanged)

public:
    enum class FlushRate { none, hot, cold };

    // Grapheme clusters a smooth tick moves; the rate is 480 a second at most.
    static constexpr int smoothTickChars = 4;
    // 1/120 s while the pillar streams or an agent runs, 1/12 s otherwise.
    static constexpr std::chrono::milliseconds hotInterval{8};
    static constexpr std::chrono::milliseconds coldInterval{83};

    // `db` outlives the pillar: saves still queued when it is destroyed are
    // written first. The meter and the activity model default to the
    // process-wide ones.
    PillarContext(ConversationKind kind, DatabaseManager& db, SwarmOrchestrator* swarm = nullptr,
                  AgentActivityModel* activity = nullptr, QObject* parent = nullptr);
    ~PillarContext() override;

    ConversationKind kind() const { return kind_; }
    DatabaseManager& database() const { return db_; }

    // Rows, oldest first.
    const std::vector<ChatMessage>& messages() const { return messages_; }
    const ChatMessage* message(const UUID& id) const;
    void appendMessage(ChatMessage row);
    void setMessages(std::vector<ChatMessage> rows);

    const std::string& input() const { return input_; }
    void setInput(std::string input);
    const std::optional<Artifact>& currentArtifact() const { return currentArtifact_; }
    void clearArtifact();
    bool isStreaming() const { return isStreaming_; }
    void setStreaming(bool streaming);
    const TransactionState& transactionState() const { return transactionState_; }
    void setTransactionState(TransactionState state);
    float cognitiveEntropy() const { return cognitiveEntropy_; }
    void setCognitiveEntropy(float entropy);
    const std::string& lastStats() const { return lastStats_; }
    void setLastStats(std::string stats);
    const std::vector<std::string>& synapticRecall() const { return synapticRecall_; }
    const std::vector<uint32_t>& synapticRecallIDs() const { return synapticRecallIDs_; }
    void setSynapticRecall(std::vector<std::string> titles, std::vector<uint32_t> ids);
    const std::optional<UUID>& activeConversationID() const { return activeConversationID_; }
    void setActiveConversationID(std::optional<UUID> id);
    const std::optional<UUID>& turnConversationID() const { return turnConvoID_; }

    StreamCoalescer& coalescer() { return coalescer_; }
    int turnEpoch() const { return turnEpoch_; }
    FlushRate flushRate() const;
    // The armed timer (a new one each time the rate changes); null when none.
    const QTimer* flushTimer() const { return flushTimer_.get(); }

    // The conversation of the starting turn: the active one, or a new id.
    UUID beginTurnConversation();
    // Appends text to the row with that id; nothing when there is none.
    void append(std::string_view text, const UUID& id);
    // Adds an executing tool row and returns its id.
    UUID appendToolStart(const std::string& name, const std::string& argsPreview);
    // Puts a result into the latest executing row of that tool (an empty
    // name takes the latest executing row), else into the latest executing row.
    void completeTool(const std::string& name, const std::string& result);

    // Starts streaming into `assistantRow`; producers tag their appends with
    // the returned epoch.
    int startStream(const UUID& assistantRow);
    // Normal end: everything buffered reaches the row first.
    void endTurn();
    // Kill-switch end: buffered and late text is dropped; a streaming
    // assistant row is saved as it stands.
    void voidTurn();

    // Saves a row in the background. Rows of one pillar reach the store in
    // the order of these calls, each stamped with the time of its call.
    void persist(Role role, const std::string& content, const UUID& conversationID);
    // The same, into the turn's conversation (begun here when there is none).
    void persist(Role role, const std::string& content);
    // Titles a conversation of this kind in the background, after the saves
    // asked for before; a failure is ignored.
    void persistTitle(const UUID& conversationID, const std::string& title);
    // Blocks until every save asked for so far is written (or has failed).
    void waitForSaves();

    // Shows the newest stored conversation of this kind; `done` runs on the
    // GUI thread afterwards, also when nothing changed.
    void loadFromDatabase(std::function<void()> done = {});
    // Shows one stored conversation, unless another was chosen meanwhile.
    void load(const UUID& conversationID, std::function<void()> done = {});

    // The drain: (re)arm the timer, move buffered text, one timer tick.
    void armFlush(bool hot);
    void drain(bool smooth);
    void flushTick();

signals:
    // Any published change (lets an owner forward its observers).
    void changed();
    // Rows were added, removed or replaced.
    void messagesChanged();
    // The row at `index` changed in place (text appended, tool finished).
    void messageChanged(int index);
    void inputChanged();
    void currentArtifactChanged();
    void isStreamingChanged(bool streaming);
    void transactionStateChanged();
    void cognitiveEntropyChanged();
    void lastStatsChanged();
    void synapticRecallChanged();
    void activeConversationIDChanged();

private:
    QString inputText() const { return QString::fromStdString(input_); }
    void setInputText(const QString& text) { setInput(text.toStdString()); }
    QString lastStatsText() const { return QString::fromStdString(lastStats_); }
    QString activeConversationText() const;

    std::optional<size_t> indexOf(const UUID& id) const;
    void appendToRow(size_t index, std::string_view text);
    void rebuildIndex();
    void refreshArtifact(bool streaming);
    void stopFlush();
    void finishTurnState();

    ConversationKind kind_;
    std::vector<ChatMessage> messages_;
    std::unordered_map<UUID, size_t> rowIndex_; // id -> index into messages_
    std::string input_;
    std::optional<Artifact> currentArtifact_;
    bool isStreaming_ = false;
    TransactionState transactionState_;
    float cognitiveEntropy_ = 0;
    std::string lastStats_;
    std::vector<std::string> synapticRecall_;
    std::vector<uint32_t> synapticRecallIDs_;
    std::optional<UUID> activeConversationID_;
    std::optional<UUID> turnConvoID_;
    StreamCoalescer coalescer_;
    int turnEpoch_ = 0;
    std::unique_ptr<QTimer> flushTimer_;
    bool flushHot_ = true;
    DatabaseManager& db_;
    SwarmOrchestrator& swarm_;
    AgentActivityModel& activity_;
    GuiLife<PillarContext> life_{this};
    // Last: destroyed first, so pending saves finish while the rest exists.
    SerialQueue saves_;
};

} // namespace vivirov
