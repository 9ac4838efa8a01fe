// The chat turn of the controller: the entry, the single streamed reply of a
// provider and the agentic turn with tools.
//
// Turn tasks run on their own threads and hold the controller weakly; every
// change of a pillar happens in a job posted to the GUI thread. Streamed text
// goes straight into the pillar's coalescer, whose epoch drops text of a
// turn that has ended. A stopped task changes nothing after its stop.
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"

#include <algorithm>

#pragma push_macro("emit")
#undef emit
#include "VivirovKit/Agentic/AgenticLoop.h"
#pragma pop_macro("emit")
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Tools/CapabilityManifest.h"
#include "VivirovKit/Tools/ToolRegistry.h"
#include "VivirovVizivurad/Chat/GuiThread.h"
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Chat/PillarSink.h"
#include "VivirovVizivurad/Chat/ProviderGeneration.h"
#include "VivirovVizivurad/Chat/Publish.h"
#include "VivirovVizivurad/Chat/VMPermissionGate.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Graph/GraphContext.h"

namespace vivirov {

namespace {

using Life = GuiLife<QuintoraViewModel>;

constexpr const char* kInProcessProviderID = "derevududuv";
constexpr const char* kImagesLeftOut = "Images are not sent to the model \xE2\x80\x94 only the text of this prompt was sent.";
constexpr size_t kTitleGraphemes = 40;
constexpr size_t kRecallTitles = 8;
constexpr double kTemperature = 0.7;

std::string eventSource(ConversationKind kind) { return kind == ConversationKind::cowork ? "CoWork" : "Chat"; }

void postEvent(AgentActivityModel* activity, AgentEvent event) {
    postToGui([activity, event = std::move(event)] { activity->feed(event); });
}

AgentEvent turnStarted(const LLMProvider& provider, ConversationKind kind) {
    return {AgentEvent::TurnStarted{provider.displayName(), eventSource(kind)}};
}

// Lets a finished turn thread go. Only the task that finishes is cleared: a
// later turn may have taken the field meanwhile.
void releaseTask(std::jthread& task, std::thread::id finished) {
    if (task.get_id() != finished) return;
    task.join(); // it has posted its last job and is returning
    task = std::jthread();
}

// When the answer came only as the response's content, it fills the row;
// then the catalogue notice is added when due. Returns the row's final text.
std::string settleAnswer(PillarContext& pillar, const UUID& assistantID, const std::string& returned) {
    const ChatMessage* row = pillar.message(assistantID);
    if (!row) return returned;
    if (row->content.empty() && !returned.empty()) pillar.append(returned, assistantID);
    const std::string content = pillar.message(assistantID)->content;
    const std::string guarded = turn::fabricationGuarded(content);
    if (guarded.size() > content.size()) pillar.append(std::string_view(guarded).substr(content.size()), assistantID);
    return pillar.message(assistantID)->content;
}

} // namespace

// MARK: entry

void QuintoraViewModel::send() {
    const std::string text = text::trimmed(input_);
    if (text.empty()) return;
    if (isStreaming_ || chatContext_->isStreaming() || coworkContext_->isStreaming() || isSwapping_) return;

    const auto choice = turn::choosePath(router_->current()->id(), continuousMode_, agentMode_ == AgentMode::ask,
                                         webSearchEnabled_, [this] { return router_->current()->id(); });
    if (choice.path == turn::TurnPath::inProcessAsk) {
        sendOnPillar(text, activePillar());
        return;
    }
    if (choice.path == turn::TurnPath::none) {
        logLine(turn::noGenerationPathLine(choice.providerID));
        return;
    }
    const bool localServer = choice.path == turn::TurnPath::localServerAsk;

    PillarContext& ctx = activePillar();
    const UUID convoID = ctx.beginTurnConversation();
    setTitleIfNeeded(text);
    const std::string objective = consumeAttachmentsPrefix() + text;
    consumeImages();
    const UUID assistantID = beginTurnRows(ctx, text);

    if (localServer) {
        auto provider = router_->current();
        PillarContext* pillar = &ctx;
        agenticTask_ = std::jthread([weak = life_.weak(), pillar, convoID, provider, assistantID,
                                     objective](std::stop_token stop) {
            postToGui([weak, stop, pillar, convoID, provider, assistantID, objective] {
                if (stop.stop_requested()) return;
                if (auto* vm = Life::resolve(weak))
                    vm->runProviderGeneration(*pillar, convoID, provider, assistantID, objective);
            });
        });
        return;
    }
    const bool planOnly = agentMode_ == AgentMode::plan;
    PillarContext* pillar = &ctx;
    recallThen(ctx, text, [pillar, convoID, objective, assistantID, planOnly](QuintoraViewModel& vm) {
        vm.runAgentic(*pillar, convoID, objective, assistantID, planOnly);
    });
}

void QuintoraViewModel::sendOnPillar(const std::string& text, PillarContext& ctx) {
    setTitleIfNeeded(text);
    const std::string objective = consumeAttachmentsPrefix() + text;
    consumeImages();
    const UUID convoID = ctx.beginTurnConversation();
    const UUID assistantID = beginTurnRows(ctx, text);
    PillarContext* pillar = &ctx;
    recallThen(ctx, text, [pillar, convoID, objective, assistantID](QuintoraViewModel& vm) {
        vm.runProviderGeneration(*pillar, convoID, vm.router_->current(), assistantID, objective);
    });
}

void QuintoraViewModel::submitQuickAsk(const std::string& text) {
    std::string trimmed = text::trimmed(text);
    if (trimmed.empty()) return;
    setRoute(Route::chat);
    setActiveRoute(AppRoute::chat);
    setInput(std::move(trimmed));
    send();
}

UUID QuintoraViewModel::beginTurnRows(PillarContext& ctx, const std::string& text) {
    ChatMessage user;
    user.id = UUID::random();
    user.role = Role::user;
    user.content = text;
    ctx.appendMessage(user);
    ctx.persist(Role::user, text, *ctx.turnConversationID());
    setInput("");
    ChatMessage assistant;
    assistant.id = UUID::random();
    assistant.role = Role::assistant;
    ctx.appendMessage(assistant);
    const UUID assistantID = ctx.messages().back().id;
    ctx.setLastStats("");
    ctx.setTransactionState(TransactionState::idle());
    ctx.setStreaming(true);
    return assistantID;
}

void QuintoraViewModel::setTitleIfNeeded(const std::string& text) {
    if (activeRoute_ != AppRoute::chat || !activeSessionID_) return;
    const UUID sessionID = *activeSessionID_;
    auto sessions = sessions_;
    auto session = std::find_if(sessions.begin(), sessions.end(),
                                [&](const ChatSessionRef& s) { return s.id == sessionID; });
    if (session == sessions.end() || !session->title.empty()) return;
    session->title = text::graphemePrefix(text, kTitleGraphemes);
    const std::string title = session->title;
    publish(*this, sessions_, std::move(sessions), &QuintoraViewModel::sessionsChanged);
    chatContext_->persistTitle(sessionID, title);
}

void QuintoraViewModel::addPendingAttachment(Attachment attachment) {
    attachments_.push_back(std::move(attachment));
    emit attachmentsChanged();
    emit changed();
}

void QuintoraViewModel::addPendingImage(ImageAttachment image) {
    imageAttachments_.push_back(std::move(image));
    emit attachmentsChanged();
    emit changed();
}

std::string QuintoraViewModel::consumeAttachmentsPrefix() {
    if (attachments_.empty()) return "";
    std::string prefix = turn::attachmentsPrefix(attachments_);
    attachments_.clear();
    emit attachmentsChanged();
    emit changed();
    return prefix;
}

std::vector<QuintoraViewModel::ImagePixels> QuintoraViewModel::consumeImages() {
    std::vector<ImagePixels> taken;
    if (imageAttachments_.empty()) return taken;
    for (auto& image : imageAttachments_)
        taken.push_back({std::move(image.rgb), int32_t(image.width), int32_t(image.height)});
    imageAttachments_.clear();
    emit attachmentsChanged();
    // No turn path hands images to the model yet: the pill must not look sent.
    publish(*this, attachNotice_, std::optional<std::string>(kImagesLeftOut), &QuintoraViewModel::attachNoticeChanged);
    emit changed();
    return taken;
}

// MARK: recall

void QuintoraViewModel::recallThen(PillarContext& ctx, const std::string& text,
                                   std::function<void(QuintoraViewModel&)> next) {
    GraphContext* graph = graph_.get();
    PillarContext* pillar = &ctx;
    pillarDispatchTask_ = std::jthread([weak = life_.weak(), graph, pillar, text,
                                        next = std::move(next)](std::stop_token stop) {
        if (stop.stop_requested()) return;
        auto ids = graph->relatedIDs(text, 2, 24);
        if (stop.stop_requested()) return;
        postToGui([weak, stop, pillar, ids = std::move(ids), next] {
            if (stop.stop_requested()) return;
            auto* vm = Life::resolve(weak);
            if (!vm) return;
            vm->publishRecall(*pillar, ids);
            next(*vm);
        });
    });
}

void QuintoraViewModel::publishRecall(PillarContext& ctx, const std::vector<uint32_t>& ids) {
    std::vector<std::string> titles;
    for (size_t i = 1; i < ids.size() && i <= kRecallTitles; ++i)
        if (auto title = graph_->nodeTitle(ids[i])) titles.push_back(std::move(*title));
    ctx.setSynapticRecall(titles, ids);
    if (ctx.kind() != ConversationKind::chat) return;
    synapticRecallIDs_ = ids;
    synapticRecall_ = std::move(titles);
    emit synapticRecallChanged();
    emit changed();
}

// MARK: single streamed reply

void QuintoraViewModel::runProviderGeneration(PillarContext& ctx, UUID convoID, std::shared_ptr<LLMProvider> provider,
                                              UUID assistantID, std::string objective) {
    const int epoch = ctx.startStream(assistantID);
    auto history = turn::providerHistory(ctx.messages());
    turn::replaceLastUserEntry(history, objective);

    PillarContext* pillar = &ctx;
    AgentActivityModel* activity = &activity_;
    chatPillarTask_ = std::jthread([weak = life_.weak(), pillar, activity, provider, history = std::move(history),
                                    convoID, assistantID, epoch](std::stop_token stop) {
        if (stop.stop_requested()) return;
        postEvent(activity, turnStarted(*provider, pillar->kind()));
        postEvent(activity, AgentEvent::thinking("Drafting\xE2\x80\xA6"));
        // Only answer text reaches the row: reasoning and tool traffic do not.
        auto sink = [pillar, epoch](const StreamDelta& delta) {
            const auto* text = std::get_if<StreamDelta::Text>(&delta.value);
            if (text && !text->text.empty()) pillar->coalescer().append(text->text, epoch);
        };
        ProviderResponse response;
        std::optional<std::string> failure;
        try {
            response = provider->stream(history, {}, kTemperature, sink, stop);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        const auto self = std::this_thread::get_id();
        // A stopped turn belongs to whoever stopped it: its failure is the stop.
        if (stop.stop_requested()) {
            postEvent(activity, AgentEvent::turnFinished("cancelled"));
            return;
        }
        postToGui([weak, stop, pillar, activity, provider, response = std::move(response), failure, convoID,
                   assistantID, self] {
            if (stop.stop_requested()) {
                activity->feed(AgentEvent::turnFinished("cancelled"));
                return;
            }
            auto* vm = Life::resolve(weak);
            if (!vm) return;
            pillar->endTurn();
            if (failure) {
                pillar->append("\n\xE2\x9A\xA0\xEF\xB8\x8F " + *failure, assistantID);
                // Saved with its warning, so a reload shows the question answered.
                if (const auto* row = pillar->message(assistantID))
                    pillar->persist(Role::assistant, row->content, convoID);
                releaseTask(vm->chatPillarTask_, self);
                activity->feed(AgentEvent::turnFailed(*failure));
                logLine("[vivirov] pillar generation failed (" + provider->id() + "): " + *failure);
                return;
            }
            const std::string final = settleAnswer(*pillar, assistantID, response.content);
            pillar->setLastStats(provider->displayName() + " \xC2\xB7 native \xC2\xB7 pillar");
            pillar->persist(Role::assistant, final, convoID);
            releaseTask(vm->chatPillarTask_, self);
            activity->feed(AgentEvent::turnFinished("native"));
            logLine(turn::finalLogLine(pillar->kind(), provider->id(), final));
        });
    });
}

// MARK: agentic turn

void QuintoraViewModel::failAgenticNotReady(PillarContext& ctx, const LLMProvider& provider, const UUID& assistantID,
                                            const UUID& convoID) {
    const bool engineStarting =
        agentMode_ != AgentMode::ask && provider.id() == kInProcessProviderID && engineStatus_ != "ready";
    const std::string message =
        engineStarting ? "\n\xE2\x8F\xB3 Engine is starting \xE2\x80\x94 retry in a moment."
                       : "\n\xE2\x9A\xA0\xEF\xB8\x8F " + provider.displayName() +
                             " isn't ready \xE2\x80\x94 enter its API key in the Vault (key icon, top right).";
    ctx.append(message, assistantID);
    ctx.setLastStats("provider not ready");
    ctx.setStreaming(false);
    ctx.setTransactionState(TransactionState::idle());
    const auto* row = ctx.message(assistantID);
    ctx.persist(Role::assistant, row ? row->content : message, convoID);
}

void QuintoraViewModel::runAgentic(PillarContext& ctx, UUID convoID, std::string objective, UUID assistantID,
                                   bool planOnly) {
    auto provider = router_->current();
    if (!provider->isReady()) {
        failAgenticNotReady(ctx, *provider, assistantID, convoID);
        return;
    }
    if (planOnly) objective = turn::planObjective(objective);
    const int epoch = ctx.startStream(assistantID);

    const auto weak = life_.weak();
    PillarContext* pillar = &ctx;
    auto sink = makePillarSink(ctx, epoch, [weak] { return Life::resolve(weak) != nullptr; });

    // The registry outlives every turn: the controller joins its tasks first.
    std::shared_ptr<ToolRegistry> registry(std::shared_ptr<void>(), toolRegistry_.get());
    const auto manifest = CapabilityManifest::build(*toolRegistry_, true, webSearchEnabled_, false,
                                                    provider->supportsVision(), provider->id(),
                                                    provider->displayName());
    const int limit = turn::iterationLimit(permissionMode_ == PermissionMode::god, continuousMode_, provider->id());
    auto loop = std::make_shared<AgenticLoop>(provider, registry, makePermissionGate(), sink, limit,
                                              AgenticLoop::defaultPersona,
                                              std::vector<std::string>{"TASK COMPLETE", "DONE."});
    // The loop sends the objective itself after the history: the user row
    // would reach the model twice.
    auto history = turn::providerHistory(ctx.messages());
    turn::dropLastUserEntry(history);

    AgentActivityModel* activity = &activity_;
    agenticTask_ = std::jthread([weak, pillar, activity, provider, sink, loop, manifest, objective,
                                 history = std::move(history), convoID, assistantID](std::stop_token stop) {
        if (stop.stop_requested()) return;
        postEvent(activity, turnStarted(*provider, pillar->kind()));
        loop->setActivitySink([activity](const AgentEvent& event) { postEvent(activity, event); });
        auto result = loop->run(objective, history, manifest, kTemperature, stop);
        if (stop.stop_requested()) return;
        const auto self = std::this_thread::get_id();
        postToGui([weak, stop, pillar, provider, result = std::move(result), convoID, assistantID, self] {
            if (stop.stop_requested()) return;
            auto* vm = Life::resolve(weak);
            if (!vm) return;
            // What every round cost, not only the last one.
            if (auto usage = result.totalUsage ? result.totalUsage : result.usage)
                vm->router_->accumulate(provider->id(), *usage);
            pillar->endTurn();
            const std::string final = settleAnswer(*pillar, assistantID, result.finalText);
            pillar->setLastStats(provider->displayName() + " \xC2\xB7 " + std::to_string(result.iterations) +
                                 " iters \xC2\xB7 " + std::to_string(result.toolCalls) + " tools \xC2\xB7 " +
                                 result.stoppedReason);
            pillar->persist(Role::assistant, final, convoID);
            releaseTask(vm->agenticTask_, self);
            const std::string kind = conversationKindText(pillar->kind());
            logLine("[vivirov] agentic turn via " + provider->id() + " [pillar:" + kind +
                    "]: " + std::to_string(result.toolCalls) + " tools, " + std::to_string(result.iterations) +
                    " iters, " + result.stoppedReason);
            logLine(turn::finalLogLine(pillar->kind(), provider->id(), final));
        });
    });
}

} // namespace vivirov
