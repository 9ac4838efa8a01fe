#include "VivirovVizivurad/Markdown/CodeBlock.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Markdown/FastMarkdownRenderer.h"
#include "VivirovVizivurad/Markdown/FittedTextView.h"

namespace vivirov {

namespace {
constexpr double cornerRadius = 12;

QColor secondary() { return QApplication::palette().color(QPalette::PlaceholderText); }
} // namespace

CodeBlock::CodeBlock(const std::optional<QString>& language, const QString& code, QWidget* parent)
    : QWidget(parent), code_(code) {
    schedule_ = [this](int ms, std::function<void()> job) { QTimer::singleShot(ms, this, std::move(job)); };

    header_ = new QWidget(this);
    auto* headerRow = new QHBoxLayout(header_);
    headerRow->setContentsMargins(12, 7, 12, 7);
    headerRow->setSpacing(8);
    auto* glyph = new QLabel(header_);
    glyph->setPixmap(Symbols::pixmap(QStringLiteral("chevron.left.forwardslash.chevron.right"), 12,
                                     secondary(), devicePixelRatioF()));
    language_ = new QLabel(language.value_or(QStringLiteral("code")).toUpper(), header_);
    language_->setFont(systemFont(10, QFont::DemiBold, FontDesign::monospaced));
    language_->setStyleSheet(QStringLiteral("color: %1;").arg(secondary().name(QColor::HexArgb)));
    copyButton_ = new QToolButton(header_);
    copyButton_->setAutoRaise(true);
    copyButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    copyButton_->setFont(systemFont(10.5, QFont::Medium));
    copyButton_->setCursor(Qt::PointingHandCursor);
    connect(copyButton_, &QToolButton::clicked, this, &CodeBlock::copy);
    headerRow->addWidget(glyph);
    headerRow->addWidget(language_);
    headerRow->addStretch(1);
    headerRow->addWidget(copyButton_);

    codeView_ = new FittedTextView(this);
    codeView_->setNoWrap();
    codeView_->setFont(systemFont(12.5, QFont::Normal, FontDesign::monospaced));
    codeView_->setStyleSheet(QStringLiteral("QTextBrowser { background: transparent; color: %1; }")
                                 .arg(FastMarkdownRenderer::codeText().name()));
    codeView_->setPlainText(code);
    codeView_->fit();

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(header_);
    auto* inset = new QVBoxLayout();
    inset->setContentsMargins(12, 12, 12, 12);
    inset->addWidget(codeView_);
    column->addLayout(inset);
    setCopied(false);
}

QString CodeBlock::label() const { return language_->text(); }
QString CodeBlock::copyText() const { return copyButton_->text(); }

void CodeBlock::copy() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(code_);
    setCopied(true);
    QPointer<CodeBlock> self(this);
    schedule_(copiedMs, [self] {
        if (self) self->setCopied(false);
    });
}

void CodeBlock::setCopied(bool copied) {
    copied_ = copied;
    const QColor color = copied ? ThemeSnapshot::palette.cyan : secondary();
    copyButton_->setText(copied ? QStringLiteral("Copied") : QStringLiteral("Copy"));
    copyButton_->setIcon(Symbols::icon(copied ? QStringLiteral("checkmark") : QStringLiteral("doc.on.doc"),
                                       color, 12));
    copyButton_->setStyleSheet(
        QStringLiteral("QToolButton { color: %1; border: none; background: transparent; }").arg(color.name()));
}

void CodeBlock::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath card;
    card.addRoundedRect(bounds, cornerRadius, cornerRadius);
    painter.fillPath(card, FastMarkdownRenderer::codeBackground());
    painter.save();
    painter.setClipPath(card);
    painter.fillRect(QRectF(0, 0, width(), header_->height()), QColor(0, 0, 0, int(255 * 0.28)));
    painter.restore();
    painter.setPen(QPen(QColor(255, 255, 255, int(255 * 0.08)), 1));
    painter.drawPath(card);
}

} // namespace vivirov
