// The kill switch, the in-process model swap and the drain of the
// controller's own single transcript.
#include <filesystem>

#include "VivirovKit/Agentic/SessionBridging.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Chat/Publish.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/CoWork/DispatchManager.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/EngineHost/InProcessHost.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

namespace vivirov {

namespace {

using Life = GuiLife<QuintoraViewModel>;

constexpr int kToolGraceMs = 250;
constexpr int kSmoothChars = 4;
const char* const kLoadingModel = "Loading local model\xE2\x80\xA6 (this can take a minute)";

bool endsSwap(const std::string& status) {
    return status == "ready" || status.rfind("load failed", 0) == 0 || status.find("not found") != std::string::npos;
}

} // namespace

void QuintoraViewModel::hardStop() {
    retire(generationTask_);
    retire(agenticTask_);
    retire(chatPillarTask_);
    retire(pillarDispatchTask_);
    chatContext_->voidTurn();
    coworkContext_->voidTurn();
    retire(taskEngineTask_);
    autonomousSession_.reset();
    toolExecutor_->registry().terminateAll(kToolGraceMs);
    permissionGate_.denyAll();
    ++turnEpoch_;
    stopCoalescing();
    publish(*this, isStreaming_, false, &QuintoraViewModel::isStreamingChanged);
    publish(*this, transactionState_, TransactionState::idle(), &QuintoraViewModel::transactionStateChanged);
    publish(*this, cognitiveEntropy_, 0.0f, &QuintoraViewModel::cognitiveEntropyChanged);
    dispatchManager_->cancelAll();
    SwarmOrchestrator::shared().endTurn();
    publish(*this, lastStats_, std::string("\xE2\x96\xA0 hard-stopped (kill switch)"),
            &QuintoraViewModel::lastStatsChanged);
    updateBusy();
    logLine("[vivirov] KILL SWITCH engaged \xE2\x80\x94 generation cancelled (session torn down by the cancelled "
            "task on its own actor)");
}

void QuintoraViewModel::stopChatTurn() {
    if (!chatContext_->isStreaming()) return;
    // While the chat pillar streams, the turn tasks are its own: send()
    // starts no second turn meanwhile.
    retire(agenticTask_);
    retire(chatPillarTask_);
    retire(pillarDispatchTask_);
    chatContext_->voidTurn();
    updateBusy();
}

void QuintoraViewModel::swapModel(const std::string& path) {
    // A turn on either pillar may be using the engine: its model must not
    // change under it.
    if (anyStreaming() || isSwapping_) return;
    if (path == currentModelPath_) {
        setRoute(Route::chat);
        return;
    }
    publish(*this, isSwapping_, true, &QuintoraViewModel::isSwappingChanged);
    setEngineStatus("loading\xE2\x80\xA6");
    VizivuradEngine::shared().setLoadingStatus(QString::fromUtf8(kLoadingModel));
    retire(generationTask_);
    retire(taskEngineTask_);
    // The reaper joins the stopped tasks first; then the swap starts on the GUI thread.
    reaper_.async([weak = life_.weak(), path] {
        postToGui([weak, path] {
            auto* vm = Life::resolve(weak);
            if (!vm) return;
            vm->stopCoalescing();
            vm->autonomousSession_.reset();
            vm->inproc_->swap(path, [weak, path](const std::string& status) {
                postToGui([weak, path, status] {
                    if (auto* vm = Life::resolve(weak)) vm->applySwapStatus(path, status);
                });
            });
        });
    });
}

void QuintoraViewModel::applySwapStatus(const std::string& path, const std::string& status) {
    setEngineStatus(status);
    if (!endsSwap(status)) return;
    publish(*this, isSwapping_, false, &QuintoraViewModel::isSwappingChanged);
    VizivuradEngine::shared().clearLoadingStatus();
    if (status != "ready") return;
    publish(*this, currentModelPath_, path, &QuintoraViewModel::currentModelPathChanged);
    logLine("[vivirov] hot-swapped model \xE2\x86\x92 " + std::filesystem::path(path).filename().string());
}

// MARK: single transcript

void QuintoraViewModel::stopCoalescing() {
    flushTimer_.reset();
    drainCoalesced();
    coalescer_.reset();
}

void QuintoraViewModel::drainCoalesced() {
    auto taken = coalescer_.drain(isStreaming_ ? kSmoothChars : 0);
    if (taken.text.empty() || !taken.target) return;
    auto row = std::find_if(messages_.begin(), messages_.end(),
                            [&](const ChatMessage& m) { return m.id == *taken.target; });
    if (row == messages_.end()) return;
    row->content += taken.text;
    SwarmOrchestrator::shared().noteToken(taken.text);
    emit messagesChanged();
    emit changed();
    if (row->role == Role::assistant) refreshArtifact(row->content, true);
}

void QuintoraViewModel::refreshArtifact(const std::string& text, bool streaming) {
    auto artifact = ArtifactEngine::current(text, streaming);
    if (!artifact) return;
    if (currentArtifact_ && currentArtifact_->kind == artifact->kind && currentArtifact_->content == artifact->content &&
        currentArtifact_->isStreaming == artifact->isStreaming)
        return;
    currentArtifact_ = std::move(artifact);
    emit currentArtifactChanged();
    emit changed();
}

} // namespace vivirov
