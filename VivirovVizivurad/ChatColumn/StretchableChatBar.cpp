#include "VivirovVizivurad/ChatColumn/StretchableChatBar.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/ChatColumn/ChatBarSettingsPopover.h"
#include "VivirovVizivurad/ChatColumn/ChatIconButton.h"
#include "VivirovVizivurad/ChatColumn/ComposerModel.h"
#include "VivirovVizivurad/ChatColumn/ComposerTextEdit.h"
#include "VivirovVizivurad/ChatColumn/DictationController.h"
#include "VivirovVizivurad/ChatColumn/Shake.h"
#include "VivirovVizivurad/ChatColumn/ShapeBackground.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"
#include "VivirovVizivurad/ChatColumn/WebSearchPill.h"

namespace vivirov {
namespace {

// The rounded input box: the regular material, a hairline border, dashed
// cyan with a glow while files hover over the composer.
class InputBox : public QWidget {
public:
    explicit InputBox(const bool& dropTargeted, QWidget* parent) : QWidget(parent), dropTargeted_(dropTargeted) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
        const QPainterPath shape = ViewPaint::rounded(box, 16);
        painter.fillPath(shape, ViewPaint::regularMaterial(this));
        if (dropTargeted_) {
            const QColor cyan = ThemeSnapshot::palette.cyan;
            ViewPaint::softShadow(painter, box, 16, ViewPaint::withAlpha(cyan, 0.25), 6, 0);
            painter.fillPath(shape, ViewPaint::regularMaterial(this));
            QPen pen(cyan, 1);
            pen.setDashPattern({9, 9});
            painter.setPen(pen);
        } else {
            painter.setPen(QPen(ViewPaint::primary(this, 0.09), 0.5));
        }
        painter.drawPath(ViewPaint::rounded(box.adjusted(0.5, 0.5, -0.5, -0.5), 16));
    }

private:
    const bool& dropTargeted_;
};

// The send button: the arrow, or an ellipsis while a turn streams.
class SendButton : public QAbstractButton {
public:
    explicit SendButton(QWidget* parent) : QAbstractButton(parent) {
        setFixedSize(30, 30);
        setCursor(Qt::PointingHandCursor);
        setAccessibleName(QStringLiteral("Send"));
    }
    void setLook(QString symbol, QColor color) {
        symbol_ = std::move(symbol);
        color_ = std::move(color);
        setObjectName(symbol_);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawPixmap(QPointF(1.5, 1.5), Symbols::pixmap(symbol_, 27, color_, devicePixelRatioF()));
    }

private:
    QString symbol_;
    QColor color_;
};

bool carriesFiles(const QMimeData* data) {
    if (!data || !data->hasUrls()) return false;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) return true;
    return false;
}

} // namespace

StretchableChatBar::StretchableChatBar(QuintoraViewModel& vm, DropCallback onDropURLs,
                                       std::unique_ptr<DictationController> dictation, QWidget* parent)
    : QWidget(parent), vm_(vm), onDropURLs_(std::move(onDropURLs)),
      dictation_(dictation ? std::move(dictation) : std::make_unique<UnavailableDictation>()) {
    model_ = std::make_unique<ComposerModel>(vm_, *dictation_);
    setAcceptDrops(true);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 0, 24, 24);
    column->setSpacing(8);

    // The refused-attachment notice: an orange capsule with a warning icon.
    notice_ = new ShapeBackground(
        [](const QWidget*) {
            const QColor orange = ThemeSnapshot::palette.orange;
            return ShapeBackground::Look{-1, ViewPaint::withAlpha(orange, 0.14), ViewPaint::withAlpha(orange, 0.4), 0.5};
        },
        this);
    auto* noticeRow = new QHBoxLayout(notice_);
    noticeRow->setContentsMargins(16, 8, 16, 8);
    noticeRow->setSpacing(6);
    auto* warning = new QLabel(notice_);
    warning->setPixmap(Symbols::pixmap(QStringLiteral("exclamationmark.triangle.fill"), 11,
                                       ThemeSnapshot::palette.orange, devicePixelRatioF()));
    noticeText_ = new QLabel(notice_);
    noticeText_->setWordWrap(true);
    noticeText_->setFont(ThemeSnapshot::ui(10, QFont::DemiBold, FontDesign::rounded));
    noticeRow->addWidget(warning, 0, Qt::AlignVCenter);
    noticeRow->addWidget(noticeText_, 1);
    auto* noticeLine = new QHBoxLayout;
    noticeLine->setContentsMargins(8, 0, 0, 0);
    noticeLine->addWidget(notice_);
    noticeLine->addStretch(1);
    column->addLayout(noticeLine);

    box_ = new InputBox(dropTargeted_, this);
    auto* row = new QHBoxLayout(box_);
    row->setContentsMargins(16, 12, 16, 12);
    row->setSpacing(16);
    const QColor cyan = ThemeSnapshot::palette.cyan;
    attach_ = new ChatIconButton(QStringLiteral("paperclip"), 17, ViewPaint::secondary(this), false, cyan,
                                 QStringLiteral("Attach code, text or image files"), box_);
    dictate_ = new ChatIconButton(QStringLiteral("mic.fill"), 17, ViewPaint::secondary(this), false,
                                  ThemeSnapshot::palette.crimson, QString(), box_);
    settings_ = new ChatIconButton(QStringLiteral("slider.horizontal.3"), 17, ViewPaint::secondary(this), false, cyan,
                                   QStringLiteral("Sampler & model"), box_);
    text_ = new ComposerTextEdit(box_);
    text_->setFont(ThemeSnapshot::ui(14, QFont::Normal, FontDesign::standard));
    web_ = new WebSearchPill(box_);
    auto* send = new SendButton(box_);
    send_ = send;
    for (QWidget* item : std::initializer_list<QWidget*>{attach_, dictate_, settings_}) row->addWidget(item, 0, Qt::AlignVCenter);
    row->addWidget(text_, 1, Qt::AlignVCenter);
    row->addWidget(web_, 0, Qt::AlignVCenter);
    row->addWidget(send_, 0, Qt::AlignVCenter);
    column->addWidget(box_);

    connect(attach_, &QAbstractButton::clicked, &vm_, &QuintoraViewModel::pickFiles);
    connect(dictate_, &QAbstractButton::clicked, model_.get(), &ComposerModel::dictationClicked);
    connect(settings_, &QAbstractButton::clicked, this, &StretchableChatBar::toggleSettings);
    connect(web_, &QAbstractButton::clicked, model_.get(), &ComposerModel::toggleWebSearch);
    connect(send_, &QAbstractButton::clicked, model_.get(), &ComposerModel::submit);
    connect(text_, &ComposerTextEdit::submitted, model_.get(), &ComposerModel::submit);
    connect(text_, &QPlainTextEdit::textChanged, this, [this] {
        if (!syncingText_) vm_.setInput(text_->toPlainText().toStdString());
    });

    // Only what the composer shows: a streaming transcript does not reach it.
    connect(&vm_, &QuintoraViewModel::inputChanged, this, &StretchableChatBar::syncText);
    connect(&vm_, &QuintoraViewModel::anyStreamingChanged, this, &StretchableChatBar::refresh);
    connect(&vm_, &QuintoraViewModel::webSearchEnabledChanged, this, &StretchableChatBar::refresh);
    connect(&vm_, &QuintoraViewModel::attachNoticeChanged, this, &StretchableChatBar::syncNotice);
    connect(dictation_.get(), &DictationController::stateChanged, this, &StretchableChatBar::refresh);
    connect(model_.get(), &ComposerModel::shakeRequested, this, &StretchableChatBar::runShake);

    syncText();
    syncNotice();
    refresh();
}

StretchableChatBar::~StretchableChatBar() {
    if (popover_) popover_->disconnect(this);
    delete popover_;
}

void StretchableChatBar::refresh() {
    ++refreshes_;
    const QColor cyan = ThemeSnapshot::palette.cyan;
    const auto mic = model_->dictationButton();
    const QColor micTint = mic.tint == ComposerModel::Tint::orange ? ThemeSnapshot::palette.orange
                                                                     : ViewPaint::secondary(this);
    dictate_->setLook(mic.symbol, micTint, mic.active, ThemeSnapshot::palette.crimson, mic.help);
    settings_->setLook(QStringLiteral("slider.horizontal.3"), ViewPaint::secondary(this), showsSettings(), cyan,
                       QStringLiteral("Sampler & model"));
    if (web_->isOn() != vm_.webSearchEnabled() || web_->toolTip().isEmpty()) web_->setOn(vm_.webSearchEnabled());
    const bool disabled = model_->sendDisabled();
    static_cast<SendButton*>(send_)->setLook(model_->sendSymbol(), disabled ? ViewPaint::secondary(this) : cyan);
    send_->setEnabled(!disabled);
}

void StretchableChatBar::syncText() {
    const QString text = QString::fromStdString(vm_.input());
    if (text_->toPlainText() != text) {
        syncingText_ = true;
        text_->setPlainText(text);
        text_->moveCursor(QTextCursor::End);
        syncingText_ = false;
    }
    refresh();
}

void StretchableChatBar::syncNotice() {
    const auto& notice = vm_.attachNotice();
    noticeText_->setText(notice ? QString::fromStdString(*notice) : QString());
    ViewPaint::setForeground(noticeText_, ThemeSnapshot::palette.orange);
    notice_->setVisible(notice.has_value());
}

void StretchableChatBar::runShake() {
    const int count = model_->shakeCount();
    if (!shake_) {
        shake_ = new QVariantAnimation(this);
        shake_->setDuration(400);
        shake_->setEasingCurve(QEasingCurve::Linear);
        connect(shake_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
            const Shake effect{7, 3, v.toDouble()};
            const QRect place = box_->geometry();
            const int base = layout()->contentsMargins().left();
            box_->move(base + int(std::lround(effect.offset())), place.y());
        });
    }
    shake_->stop();
    shake_->setStartValue(double(count - 1));
    shake_->setEndValue(double(count));
    shake_->start();
}

void StretchableChatBar::toggleSettings() {
    if (popover_) {
        popover_->close();
        return;
    }
    popover_ = new ChatBarSettingsPopover(vm_, this);
    popover_->setAttribute(Qt::WA_DeleteOnClose);
    connect(popover_, &ChatBarSettingsPopover::closed, this, [this] {
        popover_ = nullptr;
        refresh();
    });
    popover_->adjustSize();
    const QPoint below = settings_->mapToGlobal(QPoint(settings_->width() / 2 - ChatBarSettingsPopover::fixedWidth / 2,
                                                       settings_->height() + 6));
    popover_->move(below);
    popover_->show();
    refresh();
}

void StretchableChatBar::setDropTargeted(bool on) {
    if (dropTargeted_ == on) return;
    dropTargeted_ = on;
    box_->update();
}

void StretchableChatBar::dragEnterEvent(QDragEnterEvent* event) {
    if (!carriesFiles(event->mimeData())) {
        event->ignore();
        return;
    }
    setDropTargeted(true);
    event->acceptProposedAction();
}

void StretchableChatBar::dragLeaveEvent(QDragLeaveEvent*) { setDropTargeted(false); }

void StretchableChatBar::dropEvent(QDropEvent* event) {
    setDropTargeted(false);
    const QList<QUrl> urls = event->mimeData() ? event->mimeData()->urls() : QList<QUrl>();
    if (urls.isEmpty()) {
        event->ignore();
        return;
    }
    // One call per file, each from a later turn of the event loop, as the
    // files would arrive one by one.
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        QPointer<StretchableChatBar> self(this);
        const std::string path = url.toLocalFile().toStdString();
        QMetaObject::invokeMethod(
            this, [self, path] {
                if (self && self->onDropURLs_) self->onDropURLs_({path});
            },
            Qt::QueuedConnection);
    }
    event->acceptProposedAction();
}

} // namespace vivirov
