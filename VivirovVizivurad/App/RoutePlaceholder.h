#pragma once
#include <QWidget>

class QLabel;

namespace vivirov {

// Stands in for a screen not built yet: its symbol over its title.
class RoutePlaceholder : public QWidget {
    Q_OBJECT
public:
    RoutePlaceholder(const QString& symbol, const QString& title, QWidget* parent = nullptr);
    QString title() const;
    QString symbol() const { return symbol_; }

private:
    QString symbol_;
    QLabel* title_;
};

} // namespace vivirov
