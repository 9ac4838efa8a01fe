#include "VivirovVizivurad/Workspace/WorkspaceScannerView.h"

#include <QHBoxLayout>
#include <QFontDatabase>
#include <QLabel>
#include <QListWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Workspace/WorkspaceListing.h"
#include "VivirovVizivurad/Workspace/WorkspaceScannerModel.h"

namespace vivirov {
namespace {

QToolButton* headerButton(const QString& symbol, const QString& tip, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setIcon(Symbols::icon(symbol, parent->palette().color(QPalette::PlaceholderText), 11));
    button->setToolTip(tip);
    return button;
}

} // namespace

WorkspaceScannerView::WorkspaceScannerView(WorkspaceScannerModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(16, 8, 16, 8);
    header->setSpacing(8);
    auto* title = new QLabel(QStringLiteral("WORKSPACE"), this);
    QFont titleFont = ThemeSnapshot::ui(10, QFont::DemiBold, FontDesign::rounded);
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    title->setFont(titleFont);
    title->setStyleSheet(QStringLiteral("color: %1").arg(ThemeSnapshot::palette.cyan.name()));
    header->addWidget(title);
    header->addStretch();
    auto* choose = headerButton(QStringLiteral("folder.badge.plus"), QStringLiteral("Choose project folder"), this);
    auto* rescan = headerButton(QStringLiteral("arrow.clockwise"), QStringLiteral("Rescan"), this);
    header->addWidget(choose);
    header->addWidget(rescan);
    layout->addLayout(header);

    hint_ = new QLabel(QStringLiteral("Select a project folder to ground ZOV4 in local context."), this);
    hint_->setWordWrap(true);
    hint_->setFont(ThemeSnapshot::ui(11, QFont::Normal, FontDesign::standard));
    hint_->setContentsMargins(16, 0, 16, 16);
    layout->addWidget(hint_);

    folder_ = new QLabel(this);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(qRound(10.5 * ThemeSnapshot::scale));
    folder_->setFont(mono);
    folder_->setContentsMargins(16, 0, 16, 4);
    layout->addWidget(folder_);

    list_ = new QListWidget(this);
    list_->setFrameShape(QFrame::NoFrame);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list_->setFont(ThemeSnapshot::ui(11, QFont::Normal, FontDesign::standard));
    const QColor cyan = ThemeSnapshot::palette.cyan;
    list_->setStyleSheet(QStringLiteral("QListWidget { background: transparent; }"
                                        "QListWidget::item { padding: 3px 16px; border-radius: 4px; }"
                                        "QListWidget::item:selected { background: rgba(%1,%2,%3,31); color: %4; }")
                             .arg(cyan.red())
                             .arg(cyan.green())
                             .arg(cyan.blue())
                             .arg(cyan.name()));
    layout->addWidget(list_, 1);

    connect(choose, &QToolButton::clicked, &model_, &WorkspaceScannerModel::pickFolder);
    connect(rescan, &QToolButton::clicked, &model_, &WorkspaceScannerModel::rescan);
    connect(&model_, &WorkspaceScannerModel::entriesChanged, this, &WorkspaceScannerView::refresh);
    connect(&model_, &WorkspaceScannerModel::selectedChanged, this, &WorkspaceScannerView::refresh);
    connect(list_, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { model_.select(item->data(Qt::UserRole).toString()); });
    refresh();
}

void WorkspaceScannerView::refresh() {
    const bool empty = model_.rootPath().isEmpty();
    hint_->setVisible(empty);
    folder_->setVisible(!empty);
    list_->setVisible(!empty);
    folder_->setText(model_.folderName());
    const QSignalBlocker block(list_);
    list_->clear();
    const QColor cyan = ThemeSnapshot::palette.cyan;
    QColor fileTint = cyan;
    fileTint.setAlphaF(0.8);
    for (const WorkspaceEntry& entry : model_.entries()) {
        auto* item = new QListWidgetItem(entry.name, list_);
        item->setData(Qt::UserRole, entry.id);
        item->setIcon(entry.isDir ? Symbols::icon(QStringLiteral("folder.fill"), ThemeSnapshot::palette.gold, 10)
                                  : Symbols::icon(WorkspaceListing::icon(entry.name), fileTint, 10));
        if (entry.id == model_.selected()) item->setSelected(true);
    }
}

} // namespace vivirov
