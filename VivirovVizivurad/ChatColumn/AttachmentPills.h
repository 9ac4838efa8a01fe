#pragma once
#include <QScrollArea>

class QHBoxLayout;

namespace vivirov {

class QuintoraViewModel;

// The pending attachments as a row of pills under the transcript: images
// first (thumbnail, name and pixel size), then text files, each with a
// remove button. Hidden while nothing is pending.
class AttachmentPills : public QScrollArea {
    Q_OBJECT
public:
    explicit AttachmentPills(QuintoraViewModel& vm, QWidget* parent = nullptr);

    // The pills' labels, in order.
    QStringList labels() const;
    // The remove button of the pill at `index`.
    QWidget* removeButton(int index) const;

private:
    void rebuild();

    QuintoraViewModel& vm_;
    QWidget* row_;
    QHBoxLayout* layout_;
};

} // namespace vivirov
