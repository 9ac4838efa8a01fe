#include "VivirovVizivurad/App/Columns/DeepReadSwitch.h"

#include <QVariant>
#include <QWidget>

namespace vivirov {

// 3.5 % white, fully opaque.
const QColor DeepReadSwitch::darkBackground(9, 9, 9);

void DeepReadSwitch::markQuickAskPanel(QWidget* window) { window->setProperty(quickAskPanelProperty, true); }

bool DeepReadSwitch::isQuickAskPanel(const QWidget* window) {
    return window && window->property(quickAskPanelProperty).toBool();
}

QWidget* DeepReadSwitch::choose(QWidget* host, const QList<QWidget*>& windows) {
    if (host) return host;
    QWidget* first = nullptr;
    for (QWidget* window : windows) {
        // The floating panel is never the window to darken, shown or not.
        if (!window || isQuickAskPanel(window)) continue;
        if (window->isVisible()) return window;
        if (!first) first = window;
    }
    return first;
}

QWidget* DeepReadSwitch::apply(bool on, QWidget* host, const QList<QWidget*>& windows) {
    QWidget* window = choose(host, windows);
    if (!window) return nullptr;
    if (on) {
        if (!saved_.contains(window)) {
            QObject::connect(window, &QObject::destroyed, &guard_, [this, window] { saved_.remove(window); });
            saved_.insert(window, Look{window->testAttribute(Qt::WA_TranslucentBackground),
                                       window->autoFillBackground(), window->testAttribute(Qt::WA_SetPalette),
                                       window->palette()});
        }
        QPalette dark = window->palette();
        dark.setColor(QPalette::Window, darkBackground);
        window->setAttribute(Qt::WA_TranslucentBackground, false);
        window->setAutoFillBackground(true);
        window->setPalette(dark);
        return window;
    }
    const auto found = saved_.find(window);
    if (found == saved_.end()) return window;
    const Look look = *found;
    saved_.erase(found);
    window->setAttribute(Qt::WA_TranslucentBackground, look.translucent);
    window->setAutoFillBackground(look.autoFill);
    window->setPalette(look.ownPalette ? look.palette : QPalette());
    return window;
}

} // namespace vivirov
