#include "VivirovVizivurad/Permission/CommandCardOverlay.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QShortcut>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "VivirovVizivurad/App/Layout/DraggablePanel.h"
#include "VivirovVizivurad/Appearance/RefinedElevation.h"
#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/ChatColumn/ShapeBackground.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"
#include "VivirovVizivurad/Markdown/FittedTextView.h"
#include "VivirovVizivurad/Permission/ShellHighlighter.h"
#include "VivirovVizivurad/Permission/VerdictButton.h"

namespace vivirov {
namespace {

QFont scaledMono(double size) { return systemFont(size * ThemeSnapshot::scale, QFont::Normal, FontDesign::monospaced); }

// The card's raised background with a crimson ring.
class Card : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        RefinedElevation elevation;
        elevation.corner = 16;
        elevation.ring = ViewPaint::withAlpha(ThemeSnapshot::palette.crimson, 0.3);
        elevation.ringWidth = 0.5;
        elevation.paint(painter, QRectF(rect()).adjusted(4, 2, -4, -6), ViewPaint::primary(this));
    }
};

} // namespace

CommandCardOverlay::CommandCardOverlay(QuintoraViewModel& vm, QWidget* parent) : QWidget(parent), vm_(vm) {
    const QColor crimson = ThemeSnapshot::palette.crimson;
    card_ = new Card(this);
    card_->setObjectName(QStringLiteral("permission-card"));
    card_->setFocusPolicy(Qt::ClickFocus);
    auto* rows = new QVBoxLayout(card_);
    rows->setContentsMargins(24 + 4, 24 + 2, 24 + 4, 24 + 6);
    rows->setSpacing(16);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    auto* terminal = new QLabel(card_);
    terminal->setPixmap(Symbols::pixmap(QStringLiteral("terminal.fill"), 13, crimson, devicePixelRatioF()));
    auto* title = new QLabel(QStringLiteral("Permission requested"), card_);
    title->setFont(ThemeSnapshot::ui(10, QFont::DemiBold, FontDesign::rounded));
    ViewPaint::setForeground(title, ViewPaint::secondary(this));
    // The tool's badge: shield and name in crimson on a crimson capsule.
    auto* badge = new ShapeBackground(
        [](const QWidget*) {
            return ShapeBackground::Look{-1, ViewPaint::withAlpha(ThemeSnapshot::palette.crimson, 0.14)};
        },
        card_);
    auto* badgeRow = new QHBoxLayout(badge);
    badgeRow->setContentsMargins(8, 4, 8, 4);
    badgeRow->setSpacing(4);
    auto* shield = new QLabel(badge);
    shield->setPixmap(Symbols::pixmap(QStringLiteral("shield.lefthalf.filled"), 10, crimson, devicePixelRatioF()));
    tool_ = new QLabel(badge);
    tool_->setFont(scaledMono(10.5));
    ViewPaint::setForeground(tool_, crimson);
    badgeRow->addWidget(shield);
    badgeRow->addWidget(tool_);
    header->addWidget(terminal);
    header->addWidget(title);
    header->addSpacing(16);
    header->addStretch(1);
    header->addWidget(badge);
    rows->addLayout(header);

    // The command's box: grey at 80 % with a hairline border.
    auto* box = new ShapeBackground(
        [](const QWidget* w) {
            return ShapeBackground::Look{8, QColor::fromRgbF(0.12f, 0.12f, 0.12f, 0.8f), ViewPaint::primary(w, 0.09), 0.5};
        },
        card_);
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(16, 16, 16, 16);
    auto* text = new FittedTextView(box);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text->setFocusPolicy(Qt::ClickFocus);
    command_ = text;
    boxLayout->addWidget(command_);
    rows->addWidget(box);

    auto* verdicts = new QHBoxLayout;
    verdicts->setSpacing(16);
    deny_ = new VerdictButton(QStringLiteral("xmark"), QStringLiteral("Deny"), crimson, card_);
    execute_ = new VerdictButton(QStringLiteral("play.fill"), QStringLiteral("Execute"), VerdictButton::green(), card_);
    verdicts->addWidget(deny_, 1);
    verdicts->addWidget(execute_, 1);
    rows->addLayout(verdicts);
    connect(deny_, &QAbstractButton::clicked, this, [this] { answer(false); });
    connect(execute_, &QAbstractButton::clicked, this, [this] { answer(true); });

    // Return is taken only from inside the card; Escape anywhere in the window.
    card_->installEventFilter(this);
    for (QWidget* child : card_->findChildren<QWidget*>()) child->installEventFilter(this);
    escape_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape_->setContext(Qt::WindowShortcut);
    connect(escape_, &QShortcut::activated, this, [this] { answer(false); });

    drag_ = DraggablePanel::attach(card_);
    // The overlay covers its parent, the detail pane, whatever its size.
    if (parent) parent->installEventFilter(this);
    connect(&vm_, &QuintoraViewModel::pendingCommandChanged, this, &CommandCardOverlay::sync);
    sync();
}

void CommandCardOverlay::answer(bool approved) {
    if (!shown_) return;
    vm_.resolvePermission(shown_->id, approved);
}

bool CommandCardOverlay::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize && shown_) place();
    if (watched == card_ && event->type() == QEvent::Move && shown_) setMask(QRegion(card_->geometry()));
    if (event->type() == QEvent::KeyPress && shown_) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && key->modifiers() == Qt::NoModifier) {
            answer(true);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CommandCardOverlay::sync() {
    const auto& pending = vm_.pendingCommand();
    const bool changed = pending != shown_;
    shown_ = pending;
    escape_->setEnabled(shown_.has_value());
    if (!shown_) {
        hide();
        return;
    }
    if (changed) {
        tool_->setText(QString::fromStdString(shown_->toolName));
        ShellHighlighter::render(QString::fromStdString(shown_->command), *command_->document(), scaledMono(12), 4.8);
        static_cast<FittedTextView*>(command_)->fit();
    }
    show();
    raise();
    place();
}

void CommandCardOverlay::place() {
    if (!parentWidget()) return;
    setGeometry(parentWidget()->rect());
    const int width = std::min(maxCardWidth + 8, this->width() - 2 * sidePadding + 8);
    card_->setFixedWidth(std::max(200, width));
    card_->adjustSize();
    const int height = card_->heightForWidth(card_->width()) > 0 ? card_->heightForWidth(card_->width())
                                                                  : card_->sizeHint().height();
    card_->setFixedHeight(height);
    drag_->setLayoutPosition(QPoint((this->width() - card_->width()) / 2, this->height() - bottomPadding - height));
    // Clicks outside the card reach the pane below.
    setMask(QRegion(card_->geometry()));
}

void CommandCardOverlay::resizeEvent(QResizeEvent*) {
    if (shown_) place();
}

} // namespace vivirov
