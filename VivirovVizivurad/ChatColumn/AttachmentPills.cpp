#include "VivirovVizivurad/ChatColumn/AttachmentPills.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPointer>
#include <functional>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/ChatColumn/ShapeBackground.h"
#include "VivirovVizivurad/ChatColumn/TranscriptRules.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {
namespace {

// A pending attachment: a cyan capsule with its label and remove button.
class Pill : public ShapeBackground {
public:
    explicit Pill(QWidget* parent)
        : ShapeBackground(
              [](const QWidget*) {
                  const QColor cyan = ThemeSnapshot::palette.cyan;
                  return Look{-1, ViewPaint::withAlpha(cyan, 0.12), ViewPaint::withAlpha(cyan, 0.4), 0.5};
              },
              parent) {}
    QString label;
    QPushButton* remove = nullptr;
};

// A 26 × 26 thumbnail, scaled to fill and cropped, with rounded corners.
QPixmap thumbnail(const QImage& image, qreal dpr) {
    const int side = int(26 * dpr);
    QPixmap out(side, side);
    out.fill(Qt::transparent);
    if (image.isNull()) return out;
    const QImage scaled = image.scaled(side, side, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipPath(ViewPaint::rounded(QRectF(0, 0, side, side), 8 * dpr));
    painter.drawImage(QPointF((side - scaled.width()) / 2.0, (side - scaled.height()) / 2.0), scaled);
    painter.end();
    out.setDevicePixelRatio(dpr);
    return out;
}

} // namespace

AttachmentPills::AttachmentPills(QuintoraViewModel& vm, QWidget* parent) : QScrollArea(parent), vm_(vm) {
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWidgetResizable(true);
    viewport()->setAutoFillBackground(false);
    row_ = new QWidget;
    row_->setAutoFillBackground(false);
    layout_ = new QHBoxLayout(row_);
    layout_->setContentsMargins(22, 8, 22, 0);
    layout_->setSpacing(8);
    setWidget(row_);
    connect(&vm_, &QuintoraViewModel::attachmentsChanged, this, &AttachmentPills::rebuild);
    rebuild();
}

QStringList AttachmentPills::labels() const {
    QStringList out;
    for (int i = 0; i < layout_->count(); ++i)
        if (auto* pill = dynamic_cast<Pill*>(layout_->itemAt(i)->widget())) out << pill->label;
    return out;
}

QWidget* AttachmentPills::removeButton(int index) const {
    int at = 0;
    for (int i = 0; i < layout_->count(); ++i)
        if (auto* pill = dynamic_cast<Pill*>(layout_->itemAt(i)->widget()))
            if (at++ == index) return pill->remove;
    return nullptr;
}

void AttachmentPills::rebuild() {
    while (QLayoutItem* item = layout_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const auto& images = vm_.imageAttachments();
    const auto& texts = vm_.attachments();
    setVisible(!images.empty() || !texts.empty());
    const qreal dpr = devicePixelRatioF();

    auto pill = [&](const QString& label, int padX, int padY, QWidget* lead, std::function<void()> remove) {
        auto* p = new Pill(row_);
        p->label = label;
        auto* layout = new QHBoxLayout(p);
        layout->setContentsMargins(padX, padY, padX, padY);
        layout->setSpacing(6);
        lead->setParent(p);
        layout->addWidget(lead, 0, Qt::AlignVCenter);
        auto* text = new QLabel(label, p);
        text->setFont(systemFont(11, QFont::Medium));
        layout->addWidget(text, 0, Qt::AlignVCenter);
        p->remove = new QPushButton(p);
        p->remove->setFlat(true);
        p->remove->setCursor(Qt::PointingHandCursor);
        p->remove->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"));
        p->remove->setIcon(Symbols::icon(QStringLiteral("xmark.circle.fill"), ViewPaint::secondary(this), 11));
        p->remove->setIconSize(QSize(11, 11));
        p->remove->setAccessibleName(QStringLiteral("Remove ") + label);
        connect(p->remove, &QPushButton::clicked, this, [remove = std::move(remove)] {
            // The list changes under the pill: remove it from a later turn.
            QMetaObject::invokeMethod(qApp, remove, Qt::QueuedConnection);
        });
        layout->addWidget(p->remove, 0, Qt::AlignVCenter);
        layout_->addWidget(p);
    };

    for (const ImageAttachment& image : images) {
        auto* thumb = new QLabel;
        thumb->setPixmap(thumbnail(image.image, dpr));
        thumb->setFixedSize(26, 26);
        QPointer<QuintoraViewModel> vm(&vm_);
        pill(TranscriptRules::imagePillLabel(image.name, image.width, image.height), 8, 5, thumb,
             [vm, id = image.id] { if (vm) vm->removeImageAttachment(id); });
    }
    for (const Attachment& text : texts) {
        auto* icon = new QLabel;
        icon->setPixmap(Symbols::pixmap(QStringLiteral("doc.text.fill"), 10, ThemeSnapshot::palette.cyan, dpr));
        QPointer<QuintoraViewModel> vm(&vm_);
        pill(QString::fromStdString(text.name), 10, 6, icon, [vm, id = text.id] { if (vm) vm->removeAttachment(id); });
    }
    layout_->addStretch(1);
    setFixedHeight(row_->sizeHint().height());
}

} // namespace vivirov
