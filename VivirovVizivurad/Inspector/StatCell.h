#pragma once
#include <QWidget>

class QLabel;

namespace vivirov {

// One figure of the inspector: a small label over its value, with a
// hairline along the bottom.
class StatCell : public QWidget {
    Q_OBJECT
public:
    StatCell(const QString& label, QWidget* parent = nullptr);
    void setValue(const QString& value);
    QString label() const;
    QString value() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* label_;
    QLabel* value_;
};

} // namespace vivirov
