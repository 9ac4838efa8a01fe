#pragma once
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

#include "VivirovVizivurad/ChatColumn/ChatBarSettingsPopover.h"
#include "VivirovVizivurad/ChatColumn/DictationController.h"
#include <string>
#include <vector>

class QAbstractButton;
class QLabel;
class QVariantAnimation;

namespace vivirov {

class ChatIconButton;
class ComposerModel;
class ComposerTextEdit;
class QuintoraViewModel;
class WebSearchPill;

// The composer: the refused-attachment notice above a rounded box holding
// the attach, dictation and settings buttons, the text field, the web pill
// and the send button. Dropped files go to the host one path per call.
class StretchableChatBar : public QWidget {
    Q_OBJECT
public:
    using DropCallback = std::function<void(std::vector<std::string>)>;

    // `dictation` defaults to one that reports it is unavailable; the
    // composer owns it either way.
    StretchableChatBar(QuintoraViewModel& vm, DropCallback onDropURLs,
                       std::unique_ptr<DictationController> dictation = nullptr, QWidget* parent = nullptr);
    ~StretchableChatBar() override;

    ComposerModel& model() { return *model_; }
    ComposerTextEdit* textField() const { return text_; }
    ChatIconButton* attachButton() const { return attach_; }
    ChatIconButton* dictationButton() const { return dictate_; }
    ChatIconButton* settingsButton() const { return settings_; }
    WebSearchPill* webPill() const { return web_; }
    QAbstractButton* sendButton() const { return send_; }
    QWidget* noticeCapsule() const { return notice_; }
    QWidget* inputBox() const { return box_; }
    ChatBarSettingsPopover* settingsPopover() const { return popover_; }
    bool dropTargeted() const { return dropTargeted_; }
    bool showsSettings() const { return popover_ != nullptr; }
    // How many times the composer redrew its state from the controller.
    int refreshCount() const { return refreshes_; }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void refresh();
    void syncText();
    void syncNotice();
    void runShake();
    void toggleSettings();
    void setDropTargeted(bool on);

    QuintoraViewModel& vm_;
    DropCallback onDropURLs_;
    std::unique_ptr<DictationController> dictation_;
    std::unique_ptr<ComposerModel> model_;
    QWidget* notice_;
    QLabel* noticeText_;
    QWidget* box_;
    ChatIconButton* attach_;
    ChatIconButton* dictate_;
    ChatIconButton* settings_;
    ComposerTextEdit* text_;
    WebSearchPill* web_;
    QAbstractButton* send_;
    QPointer<ChatBarSettingsPopover> popover_;
    QVariantAnimation* shake_ = nullptr;
    bool dropTargeted_ = false;
    bool syncingText_ = false;
    int refreshes_ = 0;
};

} // namespace vivirov
