#include "VivirovVizivurad/Dictation/SpeechDictation.h"

#include <QPointer>

#include "VivirovVizivurad/Dictation/PocketSphinxRecognizer.h"
#include "VivirovVizivurad/Dictation/QtAudioInput.h"

namespace vivirov {
namespace {

using Kind = DictationController::Kind;

// Runs `fn` on the GUI thread later, unless `target` is gone by then.
template <class Fn>
void onGui(QObject* target, Fn fn) {
    QMetaObject::invokeMethod(
        target, [guard = QPointer(target), fn = std::move(fn)]() mutable {
            if (guard) fn();
        },
        Qt::QueuedConnection);
}

} // namespace

SpeechDictation::SpeechDictation(RecognizerFactory makeRecognizer, std::unique_ptr<AudioInput> audio,
                                 std::shared_ptr<DictationPermissions> permissions, QObject* parent)
    : DictationController(parent), makeRecognizer_(std::move(makeRecognizer)), audio_(std::move(audio)),
      permissions_(std::move(permissions)) {}

SpeechDictation::~SpeechDictation() {
    // The tap must not outlive the queue it feeds.
    audio_->stop();
}

std::unique_ptr<SpeechDictation> SpeechDictation::makeDefault(QObject* parent) {
    return std::make_unique<SpeechDictation>([] { return PocketSphinxRecognizer::create(); },
                                             std::make_unique<QtAudioInput>(),
                                             std::make_shared<SystemDictationPermissions>(), parent);
}

void SpeechDictation::start() {
    if (starting_ || audio_->isRunning()) return;
    starting_ = true;
    if (hasRecognizer_) return recognizerChecked(true);
    decoder_.async([this] {
        if (!recognizer_ && makeRecognizer_) recognizer_ = makeRecognizer_();
        const bool available = recognizer_ != nullptr;
        onGui(this, [this, available] { recognizerChecked(available); });
    });
}

void SpeechDictation::recognizerChecked(bool available) {
    hasRecognizer_ = available;
    if (!available) {
        starting_ = false;
        setState({Kind::unavailable, UnavailableDictation::reason});
        return;
    }
    permissions_->requestSpeech([self = QPointer(this)](DictationPermissions::Status status) {
        if (!self) return;
        onGui(self, [self, status] {
            if (status == DictationPermissions::Status::authorised) self->requestMicThenStart();
            else self->refuse();
        });
    });
}

void SpeechDictation::refuse() {
    starting_ = false;
    setState({Kind::denied, {}});
}

void SpeechDictation::requestMicThenStart() {
    switch (permissions_->microphoneStatus()) {
    case DictationPermissions::Status::notDetermined:
        permissions_->requestMicrophone([self = QPointer(this)](bool granted) {
            if (!self) return;
            onGui(self, [self, granted] { granted ? self->startEngine() : self->refuse(); });
        });
        return;
    case DictationPermissions::Status::authorised: startEngine(); return;
    case DictationPermissions::Status::denied:
    case DictationPermissions::Status::restricted: refuse(); return;
    }
}

void SpeechDictation::startEngine() {
    starting_ = false;
    if (audio_->isRunning()) return;
    if (!audio_->hasInput()) {
        setState({Kind::unavailable, noMicrophoneText});
        return;
    }
    const unsigned session = ++session_;
    SpeechRecognizer* recognizer = recognizer_.get();
    decoder_.async([recognizer] { recognizer->begin(); });
    const auto failure = audio_->start([this, recognizer, session](std::vector<int16_t> block) {
        // The tap thread only queues; decoding runs on the worker.
        decoder_.async([this, recognizer, session, block = std::move(block)] {
            if (auto result = recognizer->feed(block))
                onGui(this, [this, session, result = *result] { deliver(session, result); });
        });
    });
    if (failure) {
        setState({Kind::unavailable, QString::fromStdString(*failure)});
        return;
    }
    setState({Kind::listening, {}});
}

void SpeechDictation::deliver(unsigned session, const SpeechRecognizer::Result& result) {
    if (session != session_ || state().kind != Kind::listening) return;
    if (onTranscript) onTranscript(QString::fromStdString(result.text));
    if (result.isFinal) stop();
}

void SpeechDictation::stop() {
    audio_->stop();
    ++session_; // anything still decoding is dropped
    if (state().kind == Kind::listening) setState({Kind::idle, {}});
}

} // namespace vivirov
