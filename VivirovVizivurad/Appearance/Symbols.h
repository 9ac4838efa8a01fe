#pragma once
#include <QByteArray>
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace vivirov {

// The app's icons, keyed by symbol name ("xmark", "doc.on.doc", ...): SVGs of
// the pinned icon set, tinted to the colour asked for. GUI thread only.
class Symbols {
public:
    static bool has(const QString& name);
    // The SVG text with its drawing colour set; empty for an unknown name.
    static QByteArray svg(const QString& name, const QColor& color);
    // The symbol drawn in a square of `pixels` logical pixels; an unknown
    // name gives a null pixmap.
    static QPixmap pixmap(const QString& name, int pixels, const QColor& color,
                          qreal devicePixelRatio = 1.0);
    static QIcon icon(const QString& name, const QColor& color, int pixels = 16);

    Symbols() = delete;
};

} // namespace vivirov
