#pragma once
#include <functional>
#include <memory>

#include "VivirovKit/Support/SerialQueue.h"
#include "VivirovVizivurad/ChatColumn/DictationController.h"
#include "VivirovVizivurad/Dictation/AudioInput.h"
#include "VivirovVizivurad/Dictation/DictationPermissions.h"
#include "VivirovVizivurad/Dictation/SpeechRecognizer.h"

namespace vivirov {

// Dictation on this machine: asks the permissions, then streams the
// microphone into the recogniser on a worker thread and hands each
// transcript (the whole text so far) to `onTranscript` on the GUI thread.
// A final transcript or a second press ends listening.
//
// The recogniser (its model takes a moment to load) is made on the worker
// at the first start. A start that is still checking or waiting for a
// permission answer counts as listening, so a second press never opens a
// second audio tap.
class SpeechDictation final : public DictationController {
    Q_OBJECT
public:
    static inline const QString noMicrophoneText = QStringLiteral("No microphone input available");

    // Gives none when no speech model is installed; asked again at a later
    // start until it gives one.
    using RecognizerFactory = std::function<std::unique_ptr<SpeechRecognizer>()>;

    SpeechDictation(RecognizerFactory makeRecognizer, std::unique_ptr<AudioInput> audio,
                    std::shared_ptr<DictationPermissions> permissions, QObject* parent = nullptr);
    ~SpeechDictation() override;
    // The installed US English model, the default microphone and the system's permissions.
    static std::unique_ptr<SpeechDictation> makeDefault(QObject* parent = nullptr);

    void start() override;
    void stop() override;
    bool isStarting() const { return starting_; }

private:
    void recognizerChecked(bool available);
    void requestMicThenStart();
    void startEngine();
    void deliver(unsigned session, const SpeechRecognizer::Result& result);
    void refuse();

    RecognizerFactory makeRecognizer_;
    std::unique_ptr<SpeechRecognizer> recognizer_; // made and used on the worker
    bool hasRecognizer_ = false;
    std::unique_ptr<AudioInput> audio_;
    std::shared_ptr<DictationPermissions> permissions_;
    bool starting_ = false;
    // Each listening run has its own number; results of an ended run are dropped.
    unsigned session_ = 0;
    SerialQueue decoder_{"com.dudive.vivirov.dictation"}; // last: joined before the recogniser goes
};

} // namespace vivirov
