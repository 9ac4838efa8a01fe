#include "VivirovVizivurad/Artifacts/ArtifactView.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Artifacts/ArtifactWebView.h"
#include "VivirovVizivurad/Markdown/MarkdownMessage.h"

namespace vivirov {

namespace {
constexpr int headerHeight = ArtifactView::chromeHeight - 1;  // and a 1-pixel divider

QColor secondary() { return QApplication::palette().color(QPalette::PlaceholderText); }
QColor withAlpha(QColor color, double alpha) {
    color.setAlphaF(float(alpha));
    return color;
}
} // namespace

QString ArtifactView::symbolName(ArtifactKind kind) {
    switch (kind) {
    case ArtifactKind::react: return QStringLiteral("atom");
    case ArtifactKind::html: return QStringLiteral("globe");
    case ArtifactKind::svg: return QStringLiteral("photo.artframe");
    case ArtifactKind::mermaid: return QStringLiteral("point.topleft.down.curvedto.point.bottomright.up");
    case ArtifactKind::markdown: return QStringLiteral("doc.richtext");
    }
    return QString();
}

ArtifactView::ArtifactView(const Artifact& artifact, std::function<void()> onClose, std::function<void()> onFocus,
                           bool autosize, QWidget* parent, QString folder)
    : QWidget(parent), artifact_(artifact), autosize_(autosize), folder_(std::move(folder)) {
    header_ = new QWidget(this);
    header_->setFixedHeight(headerHeight);
    auto* row = new QHBoxLayout(header_);
    row->setContentsMargins(16, 0, 16, 0);
    row->setSpacing(12);

    icon_ = new QLabel(header_);
    icon_->setFixedWidth(20);
    icon_->setAlignment(Qt::AlignCenter);
    row->addWidget(icon_);

    auto* titles = new QVBoxLayout();
    titles->setSpacing(1);
    title_ = new QLabel(header_);
    title_->setFont(systemFont(13, QFont::DemiBold));
    titles->addWidget(title_);
    auto* kindRow = new QHBoxLayout();
    kindRow->setSpacing(5);
    kindLabel_ = new QLabel(header_);
    QFont kindFont = systemFont(9.5, QFont::DemiBold);
    kindFont.setLetterSpacing(QFont::AbsoluteSpacing, 0.5);
    kindLabel_->setFont(kindFont);
    kindLabel_->setStyleSheet(QStringLiteral("color: %1;").arg(secondary().name(QColor::HexArgb)));
    kindRow->addWidget(kindLabel_);
    liveBadge_ = new QLabel(header_);
    kindRow->addWidget(liveBadge_);
    kindRow->addStretch(1);
    titles->addLayout(kindRow);
    row->addLayout(titles, 1);
    row->addSpacing(16);

    if (onFocus) row->addWidget(headerButton(QStringLiteral("arrow.up.left.and.arrow.down.right"),
                                             QStringLiteral("Focus (full screen)"), onFocus));
    sourceButton_ = headerButton(QString(), QString(), [this] { toggleSource(); });
    row->addWidget(sourceButton_);
    copyButton_ = headerButton(QString(), QString(), [this] { copySource(); });
    row->addWidget(copyButton_);
    if (onClose) row->addWidget(headerButton(QStringLiteral("xmark"), QStringLiteral("Close artifact"), onClose));

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(header_);
    auto* divider = new QWidget(this);
    divider->setFixedHeight(1);
    divider->setAutoFillBackground(true);
    QPalette dividerPalette = divider->palette();
    dividerPalette.setColor(QPalette::Window, withAlpha(secondary(), 0.4));
    divider->setPalette(dividerPalette);
    column->addWidget(divider);
    bodyLayout_ = new QVBoxLayout();
    bodyLayout_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(bodyLayout_, 1);

    refreshHeader();
    rebuildBody();
}

QToolButton* ArtifactView::headerButton(const QString& symbol, const QString& help, std::function<void()> action) {
    auto* button = new QToolButton(header_);
    button->setAutoRaise(true);
    button->setFixedSize(26, 22);
    button->setIconSize(QSize(14, 14));
    button->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    if (!symbol.isEmpty()) setButtonSymbol(button, symbol, help);
    connect(button, &QToolButton::clicked, this, [action = std::move(action)] { action(); });
    return button;
}

void ArtifactView::setButtonSymbol(QToolButton* button, const QString& symbol, const QString& help) {
    button->setIcon(Symbols::icon(symbol, secondary(), 14));
    button->setToolTip(help);
    button->setProperty("symbol", symbol);
}

QList<QToolButton*> ArtifactView::headerButtons() const { return header_->findChildren<QToolButton*>(); }

bool ArtifactView::showsLiveBadge() const { return !liveBadge_->isHidden(); }

void ArtifactView::setArtifact(const Artifact& artifact) {
    const bool sameKind = artifact.kind == artifact_.kind;
    artifact_ = artifact;
    refreshHeader();
    // The web view reloads only when the page text changed; the source and
    // Markdown bodies are cheap to rebuild.
    if (webView_ && sameKind) webView_->setArtifact(artifact_);
    else rebuildBody();
}

void ArtifactView::refreshHeader() {
    const QColor cyan = ThemeSnapshot::palette.cyan;
    icon_->setPixmap(Symbols::pixmap(symbolName(artifact_.kind), 16, cyan, devicePixelRatioF()));
    title_->setText(QString::fromStdString(artifact_.title));
    kindLabel_->setText(QString::fromLatin1(displayName(artifact_.kind)).toUpper());
    auto* badge = static_cast<QLabel*>(liveBadge_);
    badge->setTextFormat(Qt::RichText);
    badge->setText(QStringLiteral("<span style=\"color:%1;font-size:7px\">&#9679;</span>"
                                  "<span style=\"color:%1;font-size:9px;font-weight:bold\">&nbsp;LIVE</span>")
                       .arg(cyan.name()));
    badge->setVisible(artifact_.isStreaming);
    setButtonSymbol(sourceButton_,
                    showSource_ ? QStringLiteral("eye") : QStringLiteral("chevron.left.forwardslash.chevron.right"),
                    showSource_ ? QStringLiteral("Show preview") : QStringLiteral("View source"));
    setButtonSymbol(copyButton_, copied_ ? QStringLiteral("checkmark") : QStringLiteral("doc.on.doc"),
                    QStringLiteral("Copy source"));
}

void ArtifactView::rebuildBody() {
    if (body_) {
        bodyLayout_->removeWidget(body_);
        delete body_;
    }
    webView_ = nullptr;
    const QString content = QString::fromStdString(artifact_.content);
    if (showSource_) {
        auto* source = new QPlainTextEdit(this);
        source->setReadOnly(true);
        source->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        source->setFrameShape(QFrame::NoFrame);
        source->setFont(systemFont(12, QFont::Normal, FontDesign::monospaced));
        source->setPlainText(content);
        source->document()->setDocumentMargin(16);
        body_ = source;
    } else if (artifact_.kind == ArtifactKind::markdown) {
        auto* scroll = new QScrollArea(this);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setWidgetResizable(true);
        auto* inset = new QWidget();
        auto* layout = new QVBoxLayout(inset);
        layout->setContentsMargins(24, 24, 24, 24);
        layout->addWidget(new MarkdownMessage(content, false, inset));
        layout->addStretch(1);
        scroll->setWidget(inset);
        body_ = scroll;
    } else {
        webView_ = new ArtifactWebView(this, folder_);
        QPointer<ArtifactView> self(this);
        webView_->setOnHeight([self](double height) {
            if (!self) return;
            self->measuredHeight_ = height;
            self->applyHeight();
        });
        webView_->setArtifact(artifact_);
        body_ = webView_;
    }
    bodyLayout_->addWidget(body_);
    applyHeight();
}

double ArtifactView::autosizeHeight() const {
    if (showSource_ || artifact_.kind == ArtifactKind::markdown) return 520;
    if (!measuredHeight_) return 408;
    return *measuredHeight_ + chromeHeight;
}

void ArtifactView::applyHeight() {
    if (autosize_) setFixedHeight(int(std::lround(autosizeHeight())));
}

void ArtifactView::toggleSource() {
    showSource_ = !showSource_;
    refreshHeader();
    rebuildBody();
}

void ArtifactView::copySource() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(artifact_.content));
    copied_ = true;
    refreshHeader();
    QPointer<ArtifactView> self(this);
    QTimer::singleShot(copiedMs, this, [self] {
        if (!self) return;
        self->copied_ = false;
        self->refreshHeader();
    });
}

void ArtifactView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath card;
    card.addRoundedRect(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25), 10, 10);
    painter.fillPath(card, withAlpha(palette().color(QPalette::WindowText), 0.05));
    painter.setPen(QPen(QColor(255, 255, 255, int(255 * 0.08)), 0.5));
    painter.drawPath(card);
}

} // namespace vivirov
