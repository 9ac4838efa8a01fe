// The controller's chat sessions: the list rebuilt from the store at
// start-up, new and selected sessions, and the per-route composer drafts.
#include "VivirovKit/Support/WorkerPool.h"
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Chat/Publish.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"

namespace vivirov {

namespace {

using Life = GuiLife<QuintoraViewModel>;

PillarContext* draftPillar(AppRoute route, PillarContext& chat, PillarContext& cowork) {
    if (route == AppRoute::chat) return &chat;
    if (route == AppRoute::cowork) return &cowork;
    return nullptr;
}

} // namespace

void QuintoraViewModel::loadHistory() {
    // Set before the first read, so a call during the load returns at once.
    if (historyLoaded_) return;
    historyLoaded_ = true;
    DatabaseManager* db = &chatContext_->database();
    const auto weak = life_.weak();
    WorkerPool::shared().submit([db, weak] {
        try {
            db->importLegacyJSONIfNeeded();
        } catch (const std::exception&) {
            // The legacy archive is optional; the store's own rows still load.
        }
        postToGui([db, weak] {
            auto* vm = Life::resolve(weak);
            if (!vm) return;
            vm->chatContext_->loadFromDatabase([db, weak] {
                WorkerPool::shared().submit([db, weak] {
                    std::vector<Conversation> list;
                    try {
                        list = db->conversations(ConversationKind::chat);
                    } catch (const std::exception&) {
                        // Shown as an empty history.
                    }
                    postToGui([weak, list = std::move(list)]() mutable {
                        if (auto* vm = Life::resolve(weak)) vm->applySessions(std::move(list));
                    });
                });
            });
        });
    });
}

void QuintoraViewModel::applySessions(std::vector<Conversation> conversations) {
    PillarContext& chat = *chatContext_;
    if (conversations.empty()) {
        const UUID id = chat.activeConversationID().value_or(UUID::random());
        chat.setActiveConversationID(id);
        publish(*this, sessions_, std::vector<ChatSessionRef>{{id, ""}}, &QuintoraViewModel::sessionsChanged);
        publish(*this, activeSessionID_, std::optional<UUID>(id), &QuintoraViewModel::activeSessionIDChanged);
        return;
    }
    std::vector<ChatSessionRef> list;
    list.reserve(conversations.size());
    for (const auto& conversation : conversations) list.push_back({conversation.uuid(), conversation.title});
    if (!chat.activeConversationID()) chat.setActiveConversationID(list.front().id);
    const UUID active = chat.activeConversationID().value_or(list.front().id);
    publish(*this, sessions_, std::move(list), &QuintoraViewModel::sessionsChanged);
    publish(*this, activeSessionID_, std::optional<UUID>(active), &QuintoraViewModel::activeSessionIDChanged);
}

void QuintoraViewModel::newChat() {
    // Only the chat turn ends: co-work turns and jobs are not this chat's.
    stopChatTurn();
    const UUID id = UUID::random();
    PillarContext& chat = *chatContext_;
    chat.setMessages({});
    chat.setActiveConversationID(id);
    chat.setSynapticRecall({}, {});
    chat.clearArtifact();

    if (!messages_.empty()) {
        messages_.clear();
        emit messagesChanged();
        emit changed();
    }
    publish(*this, synapticRecall_, std::vector<std::string>{}, &QuintoraViewModel::synapticRecallChanged);
    synapticRecallIDs_.clear();
    lastRelated_.clear();
    publish(*this, currentArtifact_, std::optional<Artifact>{}, &QuintoraViewModel::currentArtifactChanged);

    auto list = sessions_;
    list.insert(list.begin(), ChatSessionRef{id, ""});
    publish(*this, sessions_, std::move(list), &QuintoraViewModel::sessionsChanged);
    publish(*this, activeSessionID_, std::optional<UUID>(id), &QuintoraViewModel::activeSessionIDChanged);
    setRoute(Route::chat);
}

void QuintoraViewModel::selectSession(const UUID& id) {
    if (activeSessionID_ == id) {
        setRoute(Route::chat);
        return;
    }
    stopChatTurn();
    PillarContext& chat = *chatContext_;
    publish(*this, activeSessionID_, std::optional<UUID>(id), &QuintoraViewModel::activeSessionIDChanged);
    chat.setActiveConversationID(id);
    chat.setMessages({});

    publish(*this, synapticRecall_, std::vector<std::string>{}, &QuintoraViewModel::synapticRecallChanged);
    synapticRecallIDs_.clear();
    lastRelated_.clear();
    publish(*this, currentArtifact_, std::optional<Artifact>{}, &QuintoraViewModel::currentArtifactChanged);
    chat.clearArtifact();
    chat.setSynapticRecall({}, {});
    setRoute(Route::chat);

    // The pillar shows a load only while its conversation is still the
    // chosen one, so of quick selections only the last one shows.
    chat.load(id);
}

void QuintoraViewModel::swapDraft(AppRoute from, AppRoute to) {
    if (auto* old = draftPillar(from, *chatContext_, *coworkContext_)) old->setInput(input_);
    auto* shown = draftPillar(to, *chatContext_, *coworkContext_);
    setInput(shown ? shown->input() : std::string());
}

} // namespace vivirov
