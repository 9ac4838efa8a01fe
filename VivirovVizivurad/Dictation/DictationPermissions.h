#pragma once
#include <functional>

namespace vivirov {

// The speech and microphone permissions dictation asks for. Plain Linux asks
// the user for neither, so the system's answer is "authorised"; sandboxes
// and tests answer otherwise. Answers may come later and on any thread.
class DictationPermissions {
public:
    enum class Status { notDetermined, restricted, denied, authorised };

    virtual ~DictationPermissions() = default;
    virtual void requestSpeech(std::function<void(Status)> answer) = 0;
    virtual Status microphoneStatus() const = 0;
    virtual void requestMicrophone(std::function<void(bool granted)> answer) = 0;
};

// Linux without a sandbox: everything is allowed, at once.
class SystemDictationPermissions final : public DictationPermissions {
public:
    void requestSpeech(std::function<void(Status)> answer) override { answer(Status::authorised); }
    Status microphoneStatus() const override { return Status::authorised; }
    void requestMicrophone(std::function<void(bool)> answer) override { answer(true); }
};

} // namespace vivirov
