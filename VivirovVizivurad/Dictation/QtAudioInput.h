#pragma once
#include <QObject>

#include <memory>

#include "VivirovVizivurad/Dictation/AudioInput.h"

class QAudioSource;
class QIODevice;

namespace vivirov {

// The default microphone through Qt Multimedia, asked for 16 kHz mono
// 16-bit audio. Blocks are delivered on the GUI thread.
class QtAudioInput final : public QObject, public AudioInput {
    Q_OBJECT
public:
    explicit QtAudioInput(QObject* parent = nullptr);
    ~QtAudioInput() override;

    bool hasInput() const override;
    std::optional<std::string> start(OnBlock onBlock) override;
    void stop() override;
    bool isRunning() const override { return source_ != nullptr; }

private:
    void drain();

    std::unique_ptr<QAudioSource> source_;
    QIODevice* stream_ = nullptr;
    OnBlock onBlock_;
    std::vector<int16_t> pending_;
};

} // namespace vivirov
