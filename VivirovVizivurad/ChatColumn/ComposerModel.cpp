#include "VivirovVizivurad/ChatColumn/ComposerModel.h"

#include "VivirovVizivurad/Chat/QuintoraViewModel.h"

namespace vivirov {

ComposerModel::ComposerModel(QuintoraViewModel& vm, DictationController& dictation, QObject* parent)
    : QObject(parent), vm_(vm), dictation_(dictation), lastNotice_(vm.attachNotice()) {
    connect(&vm_, &QuintoraViewModel::attachNoticeChanged, this, &ComposerModel::noticeChanged);
    QPointer<ComposerModel> self(this);
    dictation_.onTranscript = [self](const QString& transcript) {
        if (self) self->transcriptArrived(transcript);
    };
}

bool ComposerModel::isBlankForSend(const QString& text) {
    for (QChar c : text)
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t')) return false;
    return true;
}

bool ComposerModel::sendDisabled() const {
    return isBlankForSend(QString::fromStdString(vm_.input())) || vm_.anyStreaming();
}

QString ComposerModel::sendSymbol() const {
    return vm_.anyStreaming() ? QStringLiteral("ellipsis") : QStringLiteral("arrow.up.circle.fill");
}

ComposerModel::DictationButton ComposerModel::dictationButton() const { return dictationButton(dictation_.state()); }

ComposerModel::DictationButton ComposerModel::dictationButton(const DictationController::State& state) {
    using K = DictationController::Kind;
    switch (state.kind) {
    case K::idle: return {QStringLiteral("mic.fill"), Tint::secondary, false, QStringLiteral("Dictate with your voice")};
    case K::listening:
        return {QStringLiteral("waveform"), Tint::secondary, true, QStringLiteral("Listening\u2026 click to stop")};
    case K::denied: return {QStringLiteral("mic.fill"), Tint::orange, false, deniedHelp};
    case K::unavailable: return {QStringLiteral("mic.fill"), Tint::orange, false, state.message};
    }
    return {};
}

QString ComposerModel::webHelp() const {
    return vm_.webSearchEnabled() ? QStringLiteral("Web search on") : QStringLiteral("Web search off");
}

void ComposerModel::submit() {
    if (!sendDisabled()) vm_.send();
}

void ComposerModel::dictationClicked() {
    if (dictation_.state().kind == DictationController::Kind::listening) {
        dictation_.stop();
        return;
    }
    dictationPrefix_ = QString::fromStdString(vm_.input());
    dictation_.start();
}

void ComposerModel::toggleWebSearch() { vm_.setWebSearchEnabled(!vm_.webSearchEnabled()); }

void ComposerModel::noticeChanged() {
    const auto& notice = vm_.attachNotice();
    const bool fresh = notice && notice != lastNotice_;
    lastNotice_ = notice;
    if (!fresh) return;
    ++shakes_;
    emit shakeRequested();
}

void ComposerModel::transcriptArrived(const QString& transcript) {
    const QString prefix = dictationPrefix_.trimmed().isEmpty() ? QString() : dictationPrefix_ + QLatin1Char(' ');
    vm_.setInput((prefix + transcript).toStdString());
}

} // namespace vivirov
