#include "VivirovVizivurad/Chat/VisionPreprocessor.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace vivirov::VisionPreprocessor {

std::optional<ImageAttachment> process(const QImage& image, const std::string& name) {
    if (image.isNull()) return std::nullopt;
    const int sourceWidth = image.width();
    const int sourceHeight = image.height();
    if (sourceWidth < 1 || sourceHeight < 1) return std::nullopt;

    const double scale = std::min(double(targetSide) / double(std::max(sourceWidth, sourceHeight)), 1.0);
    const int width = std::max(1, int(std::lround(sourceWidth * scale)));
    const int height = std::max(1, int(std::lround(sourceHeight * scale)));

    // Premultiplied RGBA over zeroes: transparent pixels come out black.
    QImage canvas(width, height, QImage::Format_RGBA8888_Premultiplied);
    if (canvas.isNull()) return std::nullopt;
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        if (!painter.isActive()) return std::nullopt;
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.drawImage(QRect(0, 0, width, height), image);
    }

    ImageAttachment attachment;
    attachment.id = UUID::random();
    attachment.name = name;
    attachment.image = image;
    attachment.width = width;
    attachment.height = height;
    attachment.rgb.reserve(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y) {
        const uchar* row = canvas.constScanLine(y);
        for (int x = 0; x < width; ++x)
            attachment.rgb.insert(attachment.rgb.end(), row + x * 4, row + x * 4 + 3);
    }
    return attachment;
}

} // namespace vivirov::VisionPreprocessor
