// The controller's attachment operations: the open panel, drops and the
// direct calls of the hooks and the code workspace.
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"

#include <QFileDialog>
#include <QTimer>

#include "VivirovKit/Support/SerialQueue.h"
#include "VivirovVizivurad/Chat/Attachments.h"

namespace vivirov {

namespace {

// One loader for every controller keeps drops in the order they were made.
SerialQueue& loadQueue() {
    static SerialQueue queue("vivirov.attachments");
    return queue;
}

constexpr int noticeMilliseconds = 3200;

} // namespace

void QuintoraViewModel::pickFiles() {
    const QStringList chosen =
        QFileDialog::getOpenFileNames(nullptr, QStringLiteral("Attach code, text, or image files to the next prompt"));
    if (chosen.isEmpty()) return;
    std::vector<std::string> paths;
    for (const auto& file : chosen) paths.push_back(file.toStdString());
    ingest(std::move(paths));
}

void QuintoraViewModel::ingest(std::vector<std::string> paths) {
    loadAttachments(std::move(paths), true);
}

void QuintoraViewModel::addAttachment(std::string path) {
    if (!Attachments::isAttachableText(path)) return;
    loadAttachments({std::move(path)}, false);
}

void QuintoraViewModel::addImageAttachment(std::string path) {
    if (!Attachments::isImage(path)) return;
    loadAttachments({std::move(path)}, false);
}

void QuintoraViewModel::loadAttachments(std::vector<std::string> paths, bool notify) {
    if (paths.empty()) return;
    loadQueue().async([weak = life_.weak(), paths = std::move(paths), notify] {
        auto batch = std::make_shared<Attachments::Batch>(Attachments::load(paths));
        postToGui([weak, batch, notify] {
            auto* vm = GuiLife<QuintoraViewModel>::resolve(weak);
            if (!vm) return;
            if (!batch->texts.empty() || !batch->images.empty()) {
                for (auto& text : batch->texts) vm->attachments_.push_back(std::move(text));
                for (auto& image : batch->images) vm->imageAttachments_.push_back(std::move(image));
                emit vm->attachmentsChanged();
                emit vm->changed();
            }
            if (!notify) return;
            if (auto notice = Attachments::refusedNotice(batch->refused)) vm->showAttachNotice(std::move(*notice));
        });
    });
}

void QuintoraViewModel::showAttachNotice(std::string notice) {
    const UUID token = UUID::random();
    attachNoticeToken_ = token;
    attachNotice_ = std::move(notice);
    emit attachNoticeChanged();
    emit changed();
    // A newer notice owns the field: this one clears only itself.
    QTimer::singleShot(noticeMilliseconds, this, [this, token] {
        if (attachNoticeToken_ != token || !attachNotice_) return;
        attachNotice_.reset();
        emit attachNoticeChanged();
        emit changed();
    });
}

// MARK: the chat column's attachment pills

void QuintoraViewModel::removeAttachment(const UUID& id) {
    if (std::erase_if(attachments_, [&](const Attachment& a) { return a.id == id; }) == 0) return;
    emit attachmentsChanged();
    emit changed();
}

void QuintoraViewModel::removeImageAttachment(const UUID& id) {
    if (std::erase_if(imageAttachments_, [&](const ImageAttachment& a) { return a.id == id; }) == 0) return;
    emit attachmentsChanged();
    emit changed();
}

} // namespace vivirov
