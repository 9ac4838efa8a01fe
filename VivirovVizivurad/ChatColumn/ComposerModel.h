#pragma once
#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>
#include <string>

#include "VivirovVizivurad/ChatColumn/DictationController.h"

namespace vivirov {

class QuintoraViewModel;

// The composer's rules over the chat controller and its dictation: when
// sending is possible, how the send, dictation and web buttons look, and
// when the box shakes. The composer widget draws what this says and routes
// every click through it.
class ComposerModel : public QObject {
    Q_OBJECT
public:
    enum class Tint { secondary, orange };
    struct DictationButton {
        QString symbol;
        Tint tint = Tint::secondary;
        bool active = false; // the crimson highlight
        QString help;
        bool operator==(const DictationButton&) const = default;
    };

    static inline const QString deniedHelp =
        QStringLiteral("Enable Microphone + Speech Recognition in the system settings");

    // `dictation` is owned by the caller (the composer widget).
    ComposerModel(QuintoraViewModel& vm, DictationController& dictation, QObject* parent = nullptr);

    QuintoraViewModel& vm() { return vm_; }
    DictationController& dictation() { return dictation_; }

    // Blank after trimming spaces and tabs (not line breaks), or any turn streams.
    bool sendDisabled() const;
    static bool isBlankForSend(const QString& text);
    QString sendSymbol() const; // "ellipsis" while streaming
    DictationButton dictationButton() const;
    static DictationButton dictationButton(const DictationController::State& state);
    QString webHelp() const;
    // How many times the box has been asked to shake.
    int shakeCount() const { return shakes_; }

    // Return or the send button: sends unless sending is disabled.
    void submit();
    void dictationClicked();
    void toggleWebSearch();

signals:
    // Emitted once per new notice; the widget runs the shake.
    void shakeRequested();

private:
    void noticeChanged();
    void transcriptArrived(const QString& transcript);

    QuintoraViewModel& vm_;
    DictationController& dictation_;
    std::optional<std::string> lastNotice_;
    int shakes_ = 0;
    // What was typed when dictation started: transcripts follow it rather
    // than replace it.
    QString dictationPrefix_;
};

} // namespace vivirov
