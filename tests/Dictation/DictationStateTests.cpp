#include <gtest/gtest.h>

#include <deque>

#include "VivirovVizivurad/Dictation/SpeechDictation.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {
namespace {

using Kind = DictationController::Kind;
using Status = DictationPermissions::Status;

// Hears one scripted result per fed block.
class ScriptedRecognizer final : public SpeechRecognizer {
public:
    explicit ScriptedRecognizer(std::deque<Result> script) : script_(std::move(script)) {}
    void begin() override {}
    std::optional<Result> feed(std::span<const int16_t>) override {
        if (script_.empty()) return std::nullopt;
        Result next = script_.front();
        script_.pop_front();
        return next;
    }
    std::optional<Result> finish() override { return std::nullopt; }

private:
    std::deque<Result> script_;
};

struct FakeAudio final : AudioInput {
    bool input = true;
    std::optional<std::string> failure;
    int taps = 0;
    OnBlock onBlock;
    bool hasInput() const override { return input; }
    std::optional<std::string> start(OnBlock block) override {
        if (failure) return failure;
        ++taps;
        onBlock = std::move(block);
        return std::nullopt;
    }
    void stop() override { onBlock = nullptr; }
    bool isRunning() const override { return bool(onBlock); }
    void play(int blocks) {
        for (int i = 0; i < blocks && onBlock; ++i) onBlock(std::vector<int16_t>(blockFrames, 0));
    }
};

// Answers at once, or holds the speech answer until the test releases it.
struct FakePermissions final : DictationPermissions {
    Status speech = Status::authorised;
    Status microphone = Status::authorised;
    bool microphoneGrant = true;
    bool holdSpeech = false;
    std::vector<std::function<void(Status)>> held;
    void requestSpeech(std::function<void(Status)> answer) override {
        if (holdSpeech) held.push_back(std::move(answer));
        else answer(speech);
    }
    Status microphoneStatus() const override { return microphone; }
    void requestMicrophone(std::function<void(bool)> answer) override { answer(microphoneGrant); }
};

class Dictation : public ::testing::Test {
protected:
    Dictation() { qtApp(); }
    SpeechDictation& make(std::deque<SpeechRecognizer::Result> script = {}, bool withRecognizer = true) {
        auto audio = std::make_unique<FakeAudio>();
        this->audio = audio.get();
        SpeechDictation::RecognizerFactory factory;
        if (withRecognizer)
            factory = [script = std::move(script)] { return std::make_unique<ScriptedRecognizer>(script); };
        dictation = std::make_unique<SpeechDictation>(std::move(factory), std::move(audio), permissions);
        dictation->onTranscript = [this](const QString& text) { heard.push_back(text); };
        return *dictation;
    }
    bool settlesIn(Kind kind) {
        return qtWaitUntil([&] { return dictation->state().kind == kind && !dictation->isStarting(); }, 5000);
    }

    std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
    FakeAudio* audio = nullptr;
    std::unique_ptr<SpeechDictation> dictation;
    QStringList heard;
};

TEST_F(Dictation, StartEndsWhereThePermissionsAndTheHardwareSay) {
    struct Case {
        const char* name;
        bool recognizer;
        Status speech, microphone;
        bool grant, input;
        std::optional<std::string> failure;
        DictationController::State end;
    };
    const QString noModel = UnavailableDictation::reason, noMic = SpeechDictation::noMicrophoneText;
    for (const Case& c : {
             Case{"no model", false, Status::authorised, Status::authorised, true, true, {}, {Kind::unavailable, noModel}},
             Case{"speech refused", true, Status::denied, Status::authorised, true, true, {}, {Kind::denied, {}}},
             Case{"speech restricted", true, Status::restricted, Status::authorised, true, true, {}, {Kind::denied, {}}},
             Case{"microphone denied", true, Status::authorised, Status::denied, true, true, {}, {Kind::denied, {}}},
             Case{"microphone asked, refused", true, Status::authorised, Status::notDetermined, false, true, {},
                  {Kind::denied, {}}},
             Case{"microphone asked, granted", true, Status::authorised, Status::notDetermined, true, true, {},
                  {Kind::listening, {}}},
             Case{"no input device", true, Status::authorised, Status::authorised, true, false, {},
                  {Kind::unavailable, noMic}},
             Case{"device fails", true, Status::authorised, Status::authorised, true, true, "device busy",
                  {Kind::unavailable, "device busy"}},
             Case{"all well", true, Status::authorised, Status::authorised, true, true, {}, {Kind::listening, {}}},
         }) {
        permissions->speech = c.speech;
        permissions->microphone = c.microphone;
        permissions->microphoneGrant = c.grant;
        make({}, c.recognizer);
        audio->input = c.input;
        audio->failure = c.failure;
        dictation->start();
        EXPECT_TRUE(settlesIn(c.end.kind)) << c.name;
        EXPECT_EQ(dictation->state(), c.end) << c.name;
        EXPECT_EQ(audio->isRunning(), c.end.kind == Kind::listening) << c.name;
    }
}

TEST_F(Dictation, StopEndsOnlyListeningAndEveryPressTriesAgain) {
    permissions->speech = Status::denied;
    make();
    dictation->stop(); // idle: nothing happens
    EXPECT_EQ(dictation->state().kind, Kind::idle);
    dictation->start();
    ASSERT_TRUE(settlesIn(Kind::denied));
    dictation->stop();
    EXPECT_EQ(dictation->state().kind, Kind::denied);

    permissions->speech = Status::authorised; // granted in the meantime
    dictation->start();
    ASSERT_TRUE(settlesIn(Kind::listening));
    dictation->stop();
    EXPECT_EQ(dictation->state().kind, Kind::idle);
    EXPECT_FALSE(audio->isRunning());
}

TEST_F(Dictation, ASecondPressWhileTheAnswerIsPendingOpensOneTap) {
    permissions->holdSpeech = true;
    make();
    dictation->start();
    dictation->start();
    ASSERT_TRUE(qtWaitUntil([&] { return !permissions->held.empty(); }));
    dictation->start();
    QCoreApplication::processEvents();
    ASSERT_EQ(permissions->held.size(), 1u);
    permissions->held.front()(Status::authorised);
    ASSERT_TRUE(settlesIn(Kind::listening));
    dictation->start();
    EXPECT_EQ(audio->taps, 1);
}

TEST_F(Dictation, TranscriptsCarryTheWholeTextAndTheFinalOneEndsListening) {
    make({{"open", false}, {"open the", false}, {"open the file", true}, {"ignored", false}});
    dictation->start();
    ASSERT_TRUE(settlesIn(Kind::listening));
    audio->play(4);
    ASSERT_TRUE(settlesIn(Kind::idle));
    QCoreApplication::processEvents();
    EXPECT_EQ(heard, QStringList({"open", "open the", "open the file"}));
    EXPECT_FALSE(audio->isRunning());
}

} // namespace
} // namespace vivirov::test
