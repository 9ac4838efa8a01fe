#include "VivirovVizivurad/App/RoutePlaceholder.h"

#include <QLabel>
#include <QVBoxLayout>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"

namespace vivirov {

RoutePlaceholder::RoutePlaceholder(const QString& symbol, const QString& title, QWidget* parent)
    : QWidget(parent), symbol_(symbol) {
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    auto* icon = new QLabel(this);
    icon->setPixmap(Symbols::pixmap(symbol, 48, ThemeSnapshot::palette.cyan, devicePixelRatioF()));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);
    title_ = new QLabel(title, this);
    title_->setAlignment(Qt::AlignCenter);
    title_->setFont(ThemeSnapshot::ui(20, QFont::DemiBold, FontDesign::standard));
    layout->addWidget(title_);
    layout->addStretch();
}

QString RoutePlaceholder::title() const { return title_->text(); }

} // namespace vivirov
