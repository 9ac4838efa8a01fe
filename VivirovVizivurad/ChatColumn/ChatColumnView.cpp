#include "VivirovVizivurad/ChatColumn/ChatColumnView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QRadialGradient>
#include <QVBoxLayout>

#include "VivirovVizivurad/App/Layout/GlassPanel.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/ChatColumn/AttachmentPills.h"
#include "VivirovVizivurad/ChatColumn/DictationController.h"
#include "VivirovVizivurad/ChatColumn/StretchableChatBar.h"
#include "VivirovVizivurad/ChatColumn/SynapticRecallStrip.h"
#include "VivirovVizivurad/ChatColumn/TranscriptModel.h"
#include "VivirovVizivurad/ChatColumn/TranscriptRules.h"
#include "VivirovVizivurad/ChatColumn/TranscriptView.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {
namespace {

// The dashed outline over the column while something droppable hovers. It
// takes no input.
class DropOutline : public QWidget {
public:
    explicit DropOutline(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPen pen(ThemeSnapshot::palette.cyan, 2);
        pen.setDashPattern({9.0 / 2, 9.0 / 2}); // Qt dashes are in pen widths
        painter.setPen(pen);
        painter.drawPath(ViewPaint::rounded(QRectF(rect()).adjusted(11, 11, -11, -11), 16));
    }
};

bool acceptable(const QMimeData* data) {
    if (!data) return false;
    if (data->hasUrls())
        for (const QUrl& url : data->urls())
            if (url.isLocalFile()) return true;
    return data->hasImage() || data->hasFormat(QStringLiteral("image/png")) ||
           data->hasFormat(QStringLiteral("image/jpeg"));
}

} // namespace

ChatColumnView::ChatColumnView(QuintoraViewModel& vm, std::unique_ptr<DictationController> dictation,
                               QWidget* parent)
    : QWidget(parent), vm_(vm), model_(std::make_unique<TranscriptModel>(vm.chatContext())) {
    setAcceptDrops(true);
    column_ = new QWidget(this);
    auto* stack = new QVBoxLayout(column_);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    status_ = new QWidget(column_);
    status_->setObjectName(QStringLiteral("status-strip"));
    auto* statusLayout = new QVBoxLayout(status_);
    statusLayout->setContentsMargins(0, 0, 0, 0);
    stack->addWidget(status_);

    transcript_ = new TranscriptView(*model_, column_);
    stack->addWidget(transcript_, 1);

    // The environment is read as the column is built.
    if (TranscriptRules::showsRecallStrip()) {
        recall_ = new SynapticRecallStrip(vm_, column_);
        stack->addWidget(recall_);
    }
    pills_ = new AttachmentPills(vm_, column_);
    stack->addWidget(pills_);

    QPointer<QuintoraViewModel> weak(&vm_);
    composer_ = new StretchableChatBar(
        vm_,
        [weak](std::vector<std::string> paths) {
            if (weak) weak->ingest(std::move(paths));
        },
        std::move(dictation), column_);
    stack->addWidget(composer_);

    outline_ = new DropOutline(this);
    placeColumn();
}

ChatColumnView::~ChatColumnView() {
    // The list observes the model: it goes first.
    delete column_;
}

void ChatColumnView::placeColumn() {
    const int width = std::min(maxColumnWidth, this->width());
    column_->setGeometry((this->width() - width) / 2, 0, width, height());
    outline_->setGeometry(column_->geometry());
    outline_->raise();
}

void ChatColumnView::resizeEvent(QResizeEvent*) { placeColumn(); }

void ChatColumnView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), GlassPanel::fill(GlassPanel::Material::underWindowBackground, palette()));
    QRadialGradient glow(QPointF(0, 0), 720);
    const QColor cyan = ThemeSnapshot::palette.cyan;
    glow.setColorAt(8.0 / 720, ViewPaint::withAlpha(cyan, 0.06));
    glow.setColorAt(1, ViewPaint::withAlpha(cyan, 0));
    painter.fillRect(rect(), glow);
}

void ChatColumnView::setDropTargeted(bool on) {
    dropTargeted_ = on;
    outline_->setVisible(on);
    if (on) outline_->raise();
}

void ChatColumnView::dragEnterEvent(QDragEnterEvent* event) {
    if (!acceptable(event->mimeData())) {
        event->ignore();
        return;
    }
    setDropTargeted(true);
    event->acceptProposedAction();
}

void ChatColumnView::dragLeaveEvent(QDragLeaveEvent*) { setDropTargeted(false); }

void ChatColumnView::dropEvent(QDropEvent* event) {
    setDropTargeted(false);
    // Each file is ingested on its own, from a later turn of the event loop;
    // an item without a file (image data alone) adds nothing. The drop
    // counts as taken either way.
    if (const QMimeData* data = event->mimeData(); data && data->hasUrls()) {
        for (const QUrl& url : data->urls()) {
            if (!url.isLocalFile()) continue;
            QPointer<QuintoraViewModel> weak(&vm_);
            const std::string path = url.toLocalFile().toStdString();
            QMetaObject::invokeMethod(
                this, [weak, path] {
                    if (weak) weak->ingest({path});
                },
                Qt::QueuedConnection);
        }
    }
    event->acceptProposedAction();
}

} // namespace vivirov
