#pragma once
#include <QColor>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPalette>
#include <QPointer>

class QWidget;

namespace vivirov {

// Deep-read mode's change of a window's look: solid near-black (3.5 % white,
// opaque) while on, and back to exactly what the window had before when off.
// The look from before the first "on" is kept per window until "off", so a
// second "on" does not replace it with the dark one.
class DeepReadSwitch {
public:
    static const QColor darkBackground; // #090909
    // The property that marks the Quick Ask panel, which is never darkened.
    static constexpr const char* quickAskPanelProperty = "vivirovQuickAskPanel";
    static void markQuickAskPanel(QWidget* window);
    static bool isQuickAskPanel(const QWidget* window);

    // `host` is the window showing the content, when known; otherwise the
    // first visible window of `windows` (the application's top-level
    // windows, in order) that is not the Quick Ask panel, else the first
    // such window at all. Returns the window changed or left alone.
    QWidget* apply(bool on, QWidget* host, const QList<QWidget*>& windows);
    bool hasSavedLook(const QWidget* window) const { return saved_.contains(window); }

    static QWidget* choose(QWidget* host, const QList<QWidget*>& windows);

private:
    struct Look {
        bool translucent = false;
        bool autoFill = false;
        bool ownPalette = false; // otherwise the window follows the application's
        QPalette palette;
    };
    QHash<const QWidget*, Look> saved_;
    QObject guard_; // ends the forget-on-destroy connections with this switch
};

} // namespace vivirov
