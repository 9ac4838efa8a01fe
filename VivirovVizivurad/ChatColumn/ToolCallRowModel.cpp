#include "VivirovVizivurad/ChatColumn/ToolCallRowModel.h"

#include <initializer_list>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

ToolCallRowModel ToolCallRowModel::of(const ChatMessage& message) {
    ToolCallRowModel row;
    row.toolName = QString::fromStdString(message.toolName.value_or("tool"));
    row.argsPreview = QString::fromStdString(message.toolArgsPreview.value_or(""));
    if (message.toolResult) row.result = QString::fromStdString(*message.toolResult);
    row.isExecuting = message.toolExecuting;
    return row;
}

bool ToolCallRowModel::isContext() const { return toolName == QLatin1String("context_summary"); }

QString ToolCallRowModel::title() const {
    if (isContext()) return QStringLiteral("Context");
    QString title = toolName;
    return title.replace(QLatin1Char('_'), QLatin1Char(' '));
}

QString ToolCallRowModel::symbol() const {
    return isContext() ? QStringLiteral("text.badge.minus") : icon(toolName);
}

ToolCallRowModel::Trailing ToolCallRowModel::trailing() const {
    if (isExecuting) return Trailing::spinner;
    return result ? Trailing::check : Trailing::none;
}

bool ToolCallRowModel::hasToggle() const { return result && !result->isEmpty(); }

QString ToolCallRowModel::preview() const { return result ? preview(*result) : QString(); }

QString ToolCallRowModel::icon(const QString& toolName) {
    const QString name = toolName.toLower();
    struct Rule {
        std::initializer_list<const char*> words;
        const char* symbol;
    };
    static const Rule rules[] = {
        {{"web", "search"}, "magnifyingglass.circle.fill"},
        {{"bash", "shell", "execute"}, "terminal.fill"},
        {{"read"}, "doc.text.fill"},
        {{"write", "edit"}, "pencil.circle.fill"},
        {{"browser", "navigate"}, "globe"},
        {{"list", "glob"}, "folder.fill"},
    };
    for (const Rule& rule : rules)
        for (const char* word : rule.words)
            if (name.contains(QLatin1String(word))) return QLatin1String(rule.symbol);
    return QStringLiteral("wrench.and.screwdriver.fill");
}

QString ToolCallRowModel::preview(const QString& result) {
    QString line = result;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const std::string utf8 = line.toStdString();
    if (text::graphemeCount(utf8) <= previewLimit) return line;
    return QString::fromStdString(text::graphemePrefix(utf8, previewLimit)) + QStringLiteral("\u2026");
}

} // namespace vivirov
