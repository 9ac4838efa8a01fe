#pragma once
#include <QWidget>

#include <vector>

#include "VivirovVizivurad/Chat/QuintoraViewModel.h"

namespace vivirov {

class PermissionSegment;

// Ask, Accept or God: how freely the agent's tool calls run. A click sets
// the controller's permission mode; the gate and the window react to it.
class PermissionModePicker : public QWidget {
    Q_OBJECT
public:
    using Mode = QuintoraViewModel::PermissionMode;

    explicit PermissionModePicker(QuintoraViewModel& vm, QWidget* parent = nullptr);

    static QString symbol(Mode mode);
    static QString name(Mode mode);
    static QString tooltip(Mode mode);
    // The capsule's fill when selected: crimson for god, cyan otherwise.
    static QColor tint(Mode mode);

    QWidget* segment(Mode mode) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    QuintoraViewModel& vm_;
    std::vector<PermissionSegment*> segments_;
};

} // namespace vivirov
