#pragma once
#include <QObject>
#include <QString>

#include <functional>

namespace vivirov {

// Speech to text for one composer. The composer reads `state`, starts and
// stops listening, and receives each transcript (the whole text heard so
// far) on the GUI thread through `onTranscript`.
class DictationController : public QObject {
    Q_OBJECT
public:
    enum class Kind { unavailable, idle, listening, denied };
    struct State {
        Kind kind = Kind::idle;
        QString message; // unavailable only: why
        bool operator==(const State&) const = default;
    };

    using QObject::QObject;

    const State& state() const { return state_; }
    std::function<void(const QString&)> onTranscript;

    virtual void start() = 0;
    virtual void stop() = 0;

signals:
    void stateChanged();

protected:
    void setState(State state);

private:
    State state_;
};

// Until a recogniser is built in: every start reports why there is none.
class UnavailableDictation final : public DictationController {
    Q_OBJECT
public:
    static inline const QString reason = QStringLiteral("Speech recognition is unavailable on this computer");
    explicit UnavailableDictation(QObject* parent = nullptr);
    void start() override;
    void stop() override {}
};

} // namespace vivirov
