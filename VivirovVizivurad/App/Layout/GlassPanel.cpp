#include "VivirovVizivurad/App/Layout/GlassPanel.h"

#include <QPainter>

namespace vivirov {

GlassPanel::GlassPanel(Material material, Blending blending, QWidget* parent)
    : QWidget(parent), material_(material), blending_(blending) {
    setAttribute(Qt::WA_StyledBackground, false);
}

void GlassPanel::setMaterial(Material material, Blending blending) {
    material_ = material;
    blending_ = blending;
    update();
}

QColor GlassPanel::fill(Material material, const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    switch (material) {
    case Material::sidebar: return window.darker(108);
    case Material::hudWindow: return window.darker(115);
    case Material::underWindowBackground: return window;
    }
    return window;
}

void GlassPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), fill(material_, palette()));
}

} // namespace vivirov
