#include <gtest/gtest.h>

#include "VivirovVizivurad/ChatColumn/ComposerModel.h"
#include "VivirovVizivurad/Dictation/PocketSphinxRecognizer.h"
#include "VivirovVizivurad/Dictation/SpeechDictation.h"
#include "tests/Dictation/SpokenAudio.h"
#include "tests/Chat/TurnFixture.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {
namespace {

using Kind = DictationController::Kind;

// The general model hears synthesised speech poorly; a grammar of the
// phrases makes the words exact.
const std::string kGrammar =
    "#JSGF V1.0;\ngrammar commands;\npublic <command> = hello world | open the file | close the window;\n";

TEST(SpokenDictation, SynthesisedSpeechGivesGrowingTranscriptsThenTheFinalOneThenIdle) {
    qtApp();
    for (const std::string phrase : {"hello world", "open the file"}) {
        std::vector<int16_t> samples = spoken(phrase);
        ASSERT_FALSE(samples.empty()) << "espeak-ng produced no speech";
        SpeechDictation dictation(
            [] { return PocketSphinxRecognizer::create(PocketSphinxRecognizer::defaultModelDir(), kGrammar); },
            std::make_unique<SampleAudioInput>(std::move(samples)), std::make_shared<SystemDictationPermissions>());
        QStringList heard;
        dictation.onTranscript = [&](const QString& text) { heard << text; };
        dictation.start();
        ASSERT_TRUE(qtWaitUntil([&] { return dictation.state().kind == Kind::listening; }));
        ASSERT_TRUE(qtWaitUntil([&] { return dictation.state().kind == Kind::idle; }, 60000)) << phrase;
        ASSERT_FALSE(heard.isEmpty());
        EXPECT_EQ(heard.last().toStdString(), phrase);
        // Each transcript is the whole text so far, never a lone new word.
        for (const QString& partial : heard) EXPECT_FALSE(partial.isEmpty());
        EXPECT_GE(heard.size(), 2) << "no partial transcript before the final one";
    }
}

using SpokenIntoTheComposer = TurnFixture;

TEST_F(SpokenIntoTheComposer, TheMicrophoneButtonPutsTheWordsAfterWhatWasTyped) {
    QuintoraViewModel& vm = build();
    SpeechDictation dictation(
        [] { return PocketSphinxRecognizer::create(PocketSphinxRecognizer::defaultModelDir(), kGrammar); },
        std::make_unique<SampleAudioInput>(spoken("open the file")), std::make_shared<SystemDictationPermissions>());
    ComposerModel composer(vm, dictation);
    vm.setInput("please");
    composer.dictationClicked();
    ASSERT_TRUE(qtWaitUntil([&] { return dictation.state().kind == Kind::listening; }));
    ASSERT_TRUE(qtWaitUntil([&] { return dictation.state().kind == Kind::idle; }, 60000));
    EXPECT_EQ(vm.input(), "please open the file");
}

TEST(SpokenDictation, MissingModelFilesMakeDictationUnavailable) {
    qtApp();
    EXPECT_EQ(PocketSphinxRecognizer::create("/nonexistent/model"), nullptr);
    SpeechDictation dictation([] { return PocketSphinxRecognizer::create("/nonexistent/model"); },
                              std::make_unique<SampleAudioInput>(std::vector<int16_t>{}),
                              std::make_shared<SystemDictationPermissions>());
    dictation.start();
    ASSERT_TRUE(qtWaitUntil([&] { return !dictation.isStarting(); }));
    EXPECT_EQ(dictation.state(), (DictationController::State{Kind::unavailable,
                                                             "Speech recognition is unavailable on this computer"}));
}

} // namespace
} // namespace vivirov::test
