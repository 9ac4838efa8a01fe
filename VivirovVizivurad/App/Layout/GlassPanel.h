#pragma once
#include <QWidget>

namespace vivirov {

// The frosted background behind the sidebar, the inspector and panels. The
// window stays opaque (translucency needs a compositor), so the glass is a
// tinted fill of the window colour that keeps its look when inactive.
class GlassPanel : public QWidget {
    Q_OBJECT
public:
    enum class Material { sidebar, hudWindow, underWindowBackground };
    enum class Blending { behindWindow, withinWindow };

    GlassPanel(Material material, Blending blending, QWidget* parent = nullptr);
    void setMaterial(Material material, Blending blending);
    Material material() const { return material_; }
    // The fill for a material, from the window colour of `palette`.
    static QColor fill(Material material, const QPalette& palette);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Material material_;
    Blending blending_;
};

} // namespace vivirov
