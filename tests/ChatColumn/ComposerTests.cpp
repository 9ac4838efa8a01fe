#include <gtest/gtest.h>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>

#include <fstream>

#include "VivirovVizivurad/ChatColumn/ChatBarSettingsPopover.h"
#include "VivirovVizivurad/ChatColumn/ChatIconButton.h"
#include "VivirovVizivurad/ChatColumn/ComposerModel.h"
#include "VivirovVizivurad/ChatColumn/ComposerTextEdit.h"
#include "VivirovVizivurad/ChatColumn/Shake.h"
#include "VivirovVizivurad/ChatColumn/StretchableChatBar.h"
#include "VivirovVizivurad/ChatColumn/WebSearchPill.h"
#include "tests/ChatColumn/ColumnFixture.h"

namespace vivirov::test {
namespace {

using Kind = DictationController::Kind;

// A recogniser the test drives by hand.
class ScriptedDictation final : public DictationController {
public:
    int starts = 0, stops = 0;
    void start() override {
        ++starts;
        setState({Kind::listening, {}});
    }
    void stop() override {
        ++stops;
        setState({Kind::idle, {}});
    }
    void hear(const QString& text) { onTranscript(text); }
};

class Composer : public ColumnFixture {
protected:
    Composer() {
        auto owned = std::make_unique<ScriptedDictation>();
        dictation = owned.get();
        bar = std::make_unique<StretchableChatBar>(
            *vm, [this](std::vector<std::string> paths) { drops.push_back(paths); }, std::move(owned));
        bar->resize(800, 120);
        bar->show();
    }
    bool sent() const { return !vm->chatContext().messages().empty(); }

    ScriptedDictation* dictation = nullptr;
    std::vector<std::vector<std::string>> drops;
    std::unique_ptr<StretchableChatBar> bar;
};

TEST_F(Composer, SendingIsDisabledForBlankTextAndWhileAnythingStreams) {
    struct Case {
        const char* input;
        bool disabled;
    } cases[] = {{"", true}, {"  \t ", true}, {"\n\n", false}, {" hi ", false}};
    for (const auto& c : cases) {
        vm->setInput(c.input);
        EXPECT_EQ(bar->model().sendDisabled(), c.disabled) << c.input;
        EXPECT_EQ(bar->sendButton()->isEnabled(), !c.disabled) << c.input;
    }
    // Return does nothing while disabled.
    vm->setInput("   ");
    bar->textField()->setFocus();
    QTest::keyClick(bar->textField(), Qt::Key_Return);
    EXPECT_FALSE(sent());

    vm->chatContext().setStreaming(true);
    vm->setInput("ready");
    EXPECT_TRUE(bar->model().sendDisabled());
    EXPECT_FALSE(bar->sendButton()->isEnabled());
    EXPECT_EQ(bar->sendButton()->objectName(), "ellipsis");
    vm->chatContext().setStreaming(false);
    EXPECT_EQ(bar->sendButton()->objectName(), "arrow.up.circle.fill");
}

TEST_F(Composer, ReturnSendsTheTypedTextAndTypingReachesTheController) {
    bar->textField()->setFocus();
    QTest::keyClicks(bar->textField(), "hello");
    EXPECT_EQ(vm->input(), "hello");
    vm->setInput("from elsewhere");
    EXPECT_EQ(bar->textField()->toPlainText(), "from elsewhere");
    QTest::keyClick(bar->textField(), Qt::Key_Return);
    ASSERT_TRUE(qtWaitUntil([&] { return sent(); }));
    EXPECT_EQ(vm->chatContext().messages().front().content, "from elsewhere");
}

TEST_F(Composer, TheFieldGrowsToFiveLinesThenScrolls) {
    const int one = bar->textField()->height();
    vm->setInput("a\nb\nc");
    EXPECT_EQ(bar->textField()->visibleLines(), 3);
    EXPECT_GT(bar->textField()->height(), one);
    vm->setInput("1\n2\n3\n4\n5\n6\n7\n8");
    EXPECT_EQ(bar->textField()->visibleLines(), ComposerTextEdit::maxLines);
}

TEST_F(Composer, DictationButtonFollowsTheRecogniser) {
    using Tint = ComposerModel::Tint;
    struct Case {
        DictationController::State state;
        const char* symbol;
        Tint tint;
        bool active;
        QString help;
    } cases[] = {
        {{Kind::idle, {}}, "mic.fill", Tint::secondary, false, "Dictate with your voice"},
        {{Kind::listening, {}}, "waveform", Tint::secondary, true, QString::fromUtf8("Listening\xE2\x80\xA6 click to stop")},
        {{Kind::denied, {}}, "mic.fill", Tint::orange, false, "Enable Microphone + Speech Recognition in the system settings"},
        {{Kind::unavailable, "No microphone input available"}, "mic.fill", Tint::orange, false, "No microphone input available"},
    };
    for (const auto& c : cases) {
        const auto button = ComposerModel::dictationButton(c.state);
        EXPECT_EQ(button.symbol, c.symbol);
        EXPECT_EQ(button.tint, c.tint);
        EXPECT_EQ(button.active, c.active);
        EXPECT_EQ(button.help, c.help);
    }
    // The composer's own recogniser, until one is built in, says why not.
    StretchableChatBar plain(*vm, {});
    EXPECT_EQ(plain.dictationButton()->toolTip(), UnavailableDictation::reason);
    EXPECT_EQ(plain.dictationButton()->iconColor(), ThemeSnapshot::palette.orange);
}

TEST_F(Composer, ATranscriptFollowsWhatWasTypedInsteadOfReplacingIt) {
    vm->setInput("Summarise");
    QTest::mouseClick(bar->dictationButton(), Qt::LeftButton);
    EXPECT_EQ(dictation->starts, 1);
    EXPECT_EQ(bar->dictationButton()->systemName(), "waveform");
    EXPECT_TRUE(bar->dictationButton()->isActive());
    dictation->hear("the");
    dictation->hear("the report");
    EXPECT_EQ(vm->input(), "Summarise the report");
    QTest::mouseClick(bar->dictationButton(), Qt::LeftButton);
    EXPECT_EQ(dictation->stops, 1);
    EXPECT_EQ(bar->dictationButton()->systemName(), "mic.fill");

    vm->setInput("");
    QTest::mouseClick(bar->dictationButton(), Qt::LeftButton);
    dictation->hear("hello");
    EXPECT_EQ(vm->input(), "hello");
}

TEST_F(Composer, ButtonsCallTheControllerAndSayWhatTheyDo) {
    EXPECT_EQ(bar->attachButton()->toolTip(), "Attach code, text or image files");
    EXPECT_EQ(bar->settingsButton()->toolTip(), "Sampler & model");
    EXPECT_EQ(bar->webPill()->toolTip(), "Web search off");
    EXPECT_FALSE(bar->webPill()->isSpinning());

    ReduceMotion::force(false);
    QTest::mouseClick(bar->webPill(), Qt::LeftButton);
    EXPECT_TRUE(vm->webSearchEnabled());
    EXPECT_EQ(bar->webPill()->toolTip(), "Web search on");
    EXPECT_TRUE(bar->webPill()->isSpinning());
    ASSERT_TRUE(qtWaitUntil([&] { return bar->webPill()->globeAngle() > 10; }));
    QTest::mouseClick(bar->webPill(), Qt::LeftButton);
    EXPECT_FALSE(vm->webSearchEnabled());
    EXPECT_FALSE(bar->webPill()->isSpinning());
    ASSERT_TRUE(qtWaitUntil([&] { return bar->webPill()->globeAngle() == 0; }, 1000)) << "upright again";

    // A composer shown while web search is on spins at once.
    vm->setWebSearchEnabled(true);
    StretchableChatBar second(*vm, {});
    EXPECT_TRUE(second.webPill()->isSpinning());
}

TEST_F(Composer, EachNewNoticeShakesTheBoxOnce) {
    const auto refuse = [&](const std::string& name) {
        std::ofstream(dir.file(name)) << "binary";
        vm->ingest({dir.file(name)});
    };
    refuse("a.bin");
    ASSERT_TRUE(qtWaitUntil([&] { return vm->attachNotice().has_value(); }));
    EXPECT_EQ(bar->model().shakeCount(), 1);
    EXPECT_FALSE(bar->noticeCapsule()->isHidden());
    refuse("a.bin"); // the same notice again while it shows
    QTest::qWait(300);
    EXPECT_EQ(bar->model().shakeCount(), 1);
    refuse("b.bin");
    ASSERT_TRUE(qtWaitUntil([&] { return bar->model().shakeCount() == 2; }));
    ASSERT_TRUE(qtWaitUntil([&] { return !vm->attachNotice().has_value(); }, 8000));
    EXPECT_EQ(bar->model().shakeCount(), 2) << "a cleared notice does not shake";
    EXPECT_TRUE(bar->noticeCapsule()->isHidden());
}

TEST(ShakeEffect, ThreeHalfWavesOfSevenPointsEndingAtRest) {
    EXPECT_NEAR((Shake{7, 3, 0}.offset()), 0, 1e-9);
    EXPECT_NEAR((Shake{7, 3, 1.0 / 6}.offset()), 7, 1e-9);
    EXPECT_NEAR((Shake{7, 3, 0.5}.offset()), -7, 1e-9);
    EXPECT_NEAR((Shake{7, 3, 1}.offset()), 0, 1e-9);
}

TEST_F(Composer, DroppedFilesReachTheHostOnePathPerCall) {
    auto drop = [&](const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(100, 60), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(bar.get(), &enter);
        EXPECT_EQ(bar->dropTargeted(), !urls.isEmpty());
        QDropEvent event(QPointF(100, 60), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(bar.get(), &event);
        return event.isAccepted();
    };
    EXPECT_TRUE(drop({QUrl::fromLocalFile("/tmp/a.txt"), QUrl::fromLocalFile("/tmp/b.png"),
                      QUrl::fromLocalFile("/tmp/c.swift")}));
    EXPECT_TRUE(drops.empty()) << "each path arrives from a later turn of the event loop";
    ASSERT_TRUE(qtWaitUntil([&] { return drops.size() == 3; }));
    for (const auto& call : drops) EXPECT_EQ(call.size(), 1u);
    EXPECT_EQ(drops[2], std::vector<std::string>{"/tmp/c.swift"});
    EXPECT_FALSE(drop({})) << "an empty drop is refused";
}

TEST_F(Composer, SettingsRowsOpenTheSheetAtTheirPageAndClose) {
    EXPECT_EQ(ChatBarSettingsPopover::modelName(""), "No model loaded");
    EXPECT_EQ(ChatBarSettingsPopover::modelName("/models/qwen/q4_k_m-long-name.gguf"), "q4_k_m-long-name.gguf");

    QTest::mouseClick(bar->settingsButton(), Qt::LeftButton);
    ASSERT_TRUE(bar->showsSettings());
    EXPECT_TRUE(bar->settingsButton()->isActive());
    EXPECT_EQ(bar->settingsPopover()->width(), ChatBarSettingsPopover::fixedWidth);
    QTest::mouseClick(bar->settingsPopover()->samplerRow(), Qt::LeftButton);
    EXPECT_EQ(vm->route(), QuintoraViewModel::Route::settings);
    EXPECT_TRUE(vm->showVault());
    ASSERT_TRUE(qtWaitUntil([&] { return !bar->showsSettings(); }));
    EXPECT_FALSE(bar->settingsButton()->isActive());

    vm->setShowVault(false);
    QTest::mouseClick(bar->settingsButton(), Qt::LeftButton);
    QTest::mouseClick(bar->settingsPopover()->managerRow(), Qt::LeftButton);
    EXPECT_EQ(vm->route(), QuintoraViewModel::Route::models);
    ASSERT_TRUE(qtWaitUntil([&] { return !bar->showsSettings(); }));
}

} // namespace
} // namespace vivirov::test
