#include "VivirovVizivurad/Appearance/Symbols.h"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

static void initSymbolResources() { Q_INIT_RESOURCE(vivirov_symbols); }

namespace vivirov {

namespace {
QString resourcePath(const QString& name) {
    static const bool ready = (initSymbolResources(), true);
    (void)ready;
    return QStringLiteral(":/symbols/") + name + QStringLiteral(".svg");
}
} // namespace

bool Symbols::has(const QString& name) { return !name.isEmpty() && QFile::exists(resourcePath(name)); }

QByteArray Symbols::svg(const QString& name, const QColor& color) {
    static QHash<QString, QByteArray> sources;
    auto found = sources.find(name);
    if (found == sources.end()) {
        QFile file(resourcePath(name));
        if (name.isEmpty() || !file.open(QIODevice::ReadOnly)) return {};
        found = sources.insert(name, file.readAll());
    }
    QByteArray text = *found;
    // The icon set draws in "currentColor", which the SVG renderer takes as black.
    text.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
    if (color.alphaF() < 1.0f) {
        text.replace("<svg", QByteArray("<svg opacity=\"") + QByteArray::number(color.alphaF()) + "\"");
    }
    return text;
}

QPixmap Symbols::pixmap(const QString& name, int pixels, const QColor& color, qreal devicePixelRatio) {
    const QByteArray text = svg(name, color);
    if (text.isEmpty() || pixels <= 0) return {};
    QSvgRenderer renderer(text);
    if (!renderer.isValid()) return {};
    const int side = qMax(1, qRound(pixels * devicePixelRatio));
    QPixmap image(side, side);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, side, side));
    painter.end();
    image.setDevicePixelRatio(devicePixelRatio);
    return image;
}

QIcon Symbols::icon(const QString& name, const QColor& color, int pixels) {
    QIcon result;
    for (qreal ratio : {1.0, 2.0}) {
        QPixmap image = pixmap(name, pixels, color, ratio);
        if (!image.isNull()) result.addPixmap(image);
    }
    return result;
}

} // namespace vivirov
