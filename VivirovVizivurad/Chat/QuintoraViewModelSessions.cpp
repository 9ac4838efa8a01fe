// Least stand-ins for the controller's session operations, enough for the
// window shell's sidebar and route hooks; the sessions work replaces them.
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Chat/Publish.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"

namespace vivirov {

void QuintoraViewModel::loadHistory() {
    if (historyLoaded_) return;
    historyLoaded_ = true;
}

void QuintoraViewModel::newChat() {
    ChatSessionRef fresh{UUID::random(), ""};
    std::vector<ChatSessionRef> list = sessions_;
    list.insert(list.begin(), fresh);
    publish(*this, sessions_, std::move(list), &QuintoraViewModel::sessionsChanged);
    publish(*this, activeSessionID_, std::optional<UUID>(fresh.id), &QuintoraViewModel::activeSessionIDChanged);
    chatContext_->setActiveConversationID(fresh.id);
}

void QuintoraViewModel::selectSession(const UUID& id) {
    publish(*this, activeSessionID_, std::optional<UUID>(id), &QuintoraViewModel::activeSessionIDChanged);
    chatContext_->setActiveConversationID(id);
}

void QuintoraViewModel::swapDraft(AppRoute from, AppRoute to) {
    drafts_[from] = input_;
    auto kept = drafts_.find(to);
    setInput(kept == drafts_.end() ? std::string() : kept->second);
}

} // namespace vivirov
