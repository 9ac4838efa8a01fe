#pragma once
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QWidget>

#include "VivirovVizivurad/App/Layout/DragOffset.h"

namespace vivirov {

// Makes a floating panel movable: a drag anywhere on it (its buttons keep
// their clicks) shifts it from its layout position, a double-click brings
// it back, and a grab handle shows at its top while the pointer is over it.
// The offset lives as long as the panel; nothing is stored.
class DraggablePanel : public QObject {
    Q_OBJECT
public:
    static inline const QString kToolTip = QStringLiteral("Drag to move \u00B7 double-click to reset");

    // Watches `panel` and its children; owned by the panel.
    static DraggablePanel* attach(QWidget* panel);

    // Where the owner lays the panel out; it is drawn there plus the offset.
    void setLayoutPosition(QPoint position);
    QPoint layoutPosition() const { return layoutPosition_; }
    const DragOffset& offset() const { return offset_; }
    QWidget* handle() const { return handle_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit DraggablePanel(QWidget* panel);
    void watch(QObject* object);
    void place();

    QWidget* panel_;
    QWidget* handle_;
    QPoint layoutPosition_;
    DragOffset offset_;
};

} // namespace vivirov
