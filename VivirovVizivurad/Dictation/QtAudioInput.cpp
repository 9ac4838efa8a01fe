#include "VivirovVizivurad/Dictation/QtAudioInput.h"

#include <QAudioDevice>
#include <QAudioSource>
#include <QMediaDevices>

#include "VivirovVizivurad/Dictation/SpeechRecognizer.h"

namespace vivirov {
namespace {

QAudioFormat speechFormat() {
    QAudioFormat format;
    format.setSampleRate(SpeechRecognizer::sampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    return format;
}

std::string describe(QAudio::Error error) {
    switch (error) {
    case QAudio::OpenError: return "The microphone could not be opened";
    case QAudio::IOError: return "The microphone stopped delivering audio";
    case QAudio::UnderrunError: return "The microphone delivered too little audio";
    case QAudio::FatalError: return "The audio system failed";
    case QAudio::NoError: break;
    }
    return {};
}

} // namespace

QtAudioInput::QtAudioInput(QObject* parent) : QObject(parent) {}

QtAudioInput::~QtAudioInput() { stop(); }

bool QtAudioInput::hasInput() const {
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    return !device.isNull() && device.maximumChannelCount() > 0;
}

std::optional<std::string> QtAudioInput::start(OnBlock onBlock) {
    if (source_) return std::nullopt; // one tap at a time
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (!device.isFormatSupported(speechFormat())) return "The microphone does not offer 16 kHz mono audio";
    source_ = std::make_unique<QAudioSource>(device, speechFormat());
    source_->setBufferSize(AudioInput::blockFrames * 2 * 4);
    onBlock_ = std::move(onBlock);
    stream_ = source_->start();
    if (!stream_ || source_->error() != QAudio::NoError) {
        const std::string reason = describe(source_->error());
        stop();
        return reason.empty() ? "The microphone could not be opened" : reason;
    }
    connect(stream_, &QIODevice::readyRead, this, &QtAudioInput::drain);
    return std::nullopt;
}

void QtAudioInput::drain() {
    const QByteArray bytes = stream_->readAll();
    const auto* samples = reinterpret_cast<const int16_t*>(bytes.constData());
    pending_.insert(pending_.end(), samples, samples + bytes.size() / 2);
    size_t used = 0;
    while (pending_.size() - used >= size_t(AudioInput::blockFrames)) {
        onBlock_(std::vector<int16_t>(pending_.begin() + used, pending_.begin() + used + AudioInput::blockFrames));
        used += AudioInput::blockFrames;
    }
    pending_.erase(pending_.begin(), pending_.begin() + used);
}

void QtAudioInput::stop() {
    if (!source_) return;
    if (stream_) disconnect(stream_, nullptr, this, nullptr);
    source_->stop();
    source_.reset();
    stream_ = nullptr;
    onBlock_ = nullptr;
    pending_.clear();
}

} // namespace vivirov
