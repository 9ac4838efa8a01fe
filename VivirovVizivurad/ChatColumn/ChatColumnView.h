#pragma once
#include <QWidget>

#include <memory>

#include "VivirovVizivurad/ChatColumn/DictationController.h"

namespace vivirov {

class AttachmentPills;
class QuintoraViewModel;
class StretchableChatBar;
class SynapticRecallStrip;
class TranscriptModel;
class TranscriptView;

// The chat route's screen: one column at most 880 points wide over the
// window glass, holding the status strip's place, the chat pillar's
// transcript, the recalled notes (when VIVIROV_SHOW_RECALL is "1"), the
// pending attachments and the composer. The whole column takes dropped
// files and images (not plain text) and hands each file to `ingest`.
class ChatColumnView : public QWidget {
    Q_OBJECT
public:
    static constexpr int maxColumnWidth = 880;

    explicit ChatColumnView(QuintoraViewModel& vm, std::unique_ptr<DictationController> dictation = nullptr,
                            QWidget* parent = nullptr);
    ~ChatColumnView() override;

    TranscriptModel& transcriptModel() { return *model_; }
    TranscriptView* transcript() const { return transcript_; }
    StretchableChatBar* composer() const { return composer_; }
    AttachmentPills* attachmentPills() const { return pills_; }
    SynapticRecallStrip* recallStrip() const { return recall_; }
    // The status strip's place above the transcript, empty for now.
    QWidget* statusSlot() const { return status_; }
    QWidget* column() const { return column_; }
    bool dropTargeted() const { return dropTargeted_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void placeColumn();
    void setDropTargeted(bool on);

    QuintoraViewModel& vm_;
    std::unique_ptr<TranscriptModel> model_;
    QWidget* column_;
    QWidget* status_;
    TranscriptView* transcript_;
    SynapticRecallStrip* recall_ = nullptr;
    AttachmentPills* pills_;
    StretchableChatBar* composer_;
    QWidget* outline_;
    bool dropTargeted_ = false;
};

} // namespace vivirov
