#include "VivirovVizivurad/Appearance/SystemFont.h"

#include <QFontDatabase>
#include <QStringList>
#include <algorithm>
#include <cmath>

namespace vivirov {

QFont systemFont(double pixels, QFont::Weight weight, FontDesign design) {
    QFont font;
    switch (design) {
    case FontDesign::standard:
        font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        break;
    case FontDesign::monospaced:
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setStyleHint(QFont::TypeWriter);
        break;
    case FontDesign::serif:
        font.setFamilies({QStringLiteral("serif")});
        font.setStyleHint(QFont::Serif);
        break;
    case FontDesign::rounded:
        // Linux has no rounded system face: take a common rounded family when
        // one is installed, else the plain sans face.
        font.setFamilies({QStringLiteral("Nunito"), QStringLiteral("Quicksand"),
                          QStringLiteral("Comfortaa"), QStringLiteral("Varela Round"),
                          QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()});
        font.setStyleHint(QFont::SansSerif);
        break;
    }
    font.setPixelSize(std::max(1, int(std::lround(pixels))));
    font.setWeight(weight);
    return font;
}

} // namespace vivirov
