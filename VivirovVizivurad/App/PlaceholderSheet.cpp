#include "VivirovVizivurad/App/PlaceholderSheet.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "VivirovVizivurad/App/RoutePlaceholder.h"

namespace vivirov {

PlaceholderSheet::PlaceholderSheet(const QString& symbol, const QString& title, QWidget* parent) : QDialog(parent) {
    setWindowTitle(title);
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new RoutePlaceholder(symbol, title, this), 1);
    auto* close = new QPushButton(QStringLiteral("Done"), this);
    layout->addWidget(close, 0, Qt::AlignRight);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    resize(480, 360);
}

void PlaceholderSheet::done(int result) {
    QDialog::done(result);
    emit closed();
}

} // namespace vivirov
