#include "VivirovVizivurad/QuickAsk/QuickAskLayout.h"

#include <algorithm>
#include <cmath>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

int QuickAskLayout::lineCount(const QString& text) {
    int lines = 0;
    for (const QString& piece : text.split(QLatin1Char('\n'))) {
        const auto characters = text::graphemeCount(piece.toStdString());
        lines += std::max<int>(1, int((characters + charactersPerLine - 1) / charactersPerLine));
    }
    return std::max(1, lines);
}

int QuickAskLayout::editorHeight(int lines) { return std::min(44 + 22 * std::max(lines - 1, 0), 132); }

std::optional<QString> QuickAskLayout::committed(const QString& draft) {
    const std::string trimmed = text::trimmed(draft.toStdString());
    if (trimmed.empty()) return std::nullopt;
    return QString::fromStdString(trimmed);
}

std::optional<QPoint> QuickAskLayout::centredOrigin(const QList<Screen>& screens, QPoint pointer,
                                                    std::optional<int> primary, QSize size) {
    if (screens.isEmpty()) return std::nullopt;
    const Screen* target = nullptr;
    for (const Screen& screen : screens)
        if (screen.frame.contains(pointer)) {
            target = &screen;
            break;
        }
    if (!target) target = primary && *primary >= 0 && *primary < screens.size() ? &screens[*primary] : &screens[0];
    const QRectF v = target->available;
    // Screen y grows downwards here, so "above the middle" subtracts.
    const double x = v.center().x() - size.width() / 2.0;
    const double y = v.center().y() - size.height() / 2.0 - 0.12 * v.height();
    return QPoint(int(std::lround(x)), int(std::lround(y)));
}

} // namespace vivirov
