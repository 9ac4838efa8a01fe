#include "VivirovVizivurad/App/Layout/DraggablePanel.h"

#include <QAbstractButton>
#include <QChildEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace vivirov {
namespace {

// The 30 × 4 capsule at the panel's top; it never takes the mouse.
class GrabHandle : public QWidget {
public:
    explicit GrabHandle(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        resize(30, 4);
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = palette().color(QPalette::WindowText);
        fill.setAlphaF(0.3);
        QPainterPath capsule;
        capsule.addRoundedRect(rect(), 2, 2);
        painter.fillPath(capsule, fill);
    }
};

} // namespace

DraggablePanel* DraggablePanel::attach(QWidget* panel) { return new DraggablePanel(panel); }

DraggablePanel::DraggablePanel(QWidget* panel)
    : QObject(panel), panel_(panel), handle_(new GrabHandle(panel)), layoutPosition_(panel->pos()) {
    panel_->setToolTip(kToolTip);
    panel_->setAttribute(Qt::WA_Hover);
    watch(panel_);
}

void DraggablePanel::watch(QObject* object) {
    object->installEventFilter(this);
    for (QObject* child : object->children())
        if (child->isWidgetType() && child != handle_) watch(child);
}

void DraggablePanel::setLayoutPosition(QPoint position) {
    layoutPosition_ = position;
    place();
}

void DraggablePanel::place() {
    panel_->move(layoutPosition_ + offset_.total().toPoint());
    handle_->move((panel_->width() - handle_->width()) / 2, 4);
    handle_->raise();
}

bool DraggablePanel::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ChildAdded: {
        QObject* child = static_cast<QChildEvent*>(event)->child();
        if (child->isWidgetType() && child != handle_) watch(child);
        break;
    }
    case QEvent::Enter:
        if (watched == panel_) {
            place();
            handle_->show();
        }
        break;
    case QEvent::Leave:
        if (watched == panel_) handle_->hide();
        break;
    case QEvent::Resize:
        if (watched == panel_) place();
        break;
    case QEvent::MouseButtonPress: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton) offset_.press(mouse->globalPosition());
        break;
    }
    case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (offset_.move(mouse->globalPosition())) {
            place();
            return true;
        }
        break;
    }
    case QEvent::MouseButtonRelease: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton) break;
        if (offset_.release(mouse->globalPosition())) {
            place();
            // A drag is not a click on the control under the pointer.
            if (auto* button = qobject_cast<QAbstractButton*>(watched)) button->setDown(false);
            return true;
        }
        break;
    }
    case QEvent::MouseButtonDblClick:
        offset_.reset();
        place();
        break;
    default: break;
    }
    return false;
}

} // namespace vivirov
