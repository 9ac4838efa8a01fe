#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "VivirovVizivurad/ChatColumn/InlineToolCallView.h"
#include "VivirovVizivurad/ChatColumn/ToolCallRowModel.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {
namespace {

using Trailing = ToolCallRowModel::Trailing;

TEST(ToolCallRow, IconsFollowTheFirstMatchingRule) {
    struct Case {
        const char* name;
        const char* symbol;
    } cases[] = {
        {"web_search", "magnifyingglass.circle.fill"}, {"execute_bash", "terminal.fill"},
        {"read_file", "doc.text.fill"},                {"write_file", "pencil.circle.fill"},
        {"browser_navigate", "globe"},                 {"list_models", "folder.fill"},
        {"git_clone_repo", "wrench.and.screwdriver.fill"},
        {"Thread_Dump", "doc.text.fill"},              // "read" inside a word, any case
        {"search_and_edit", "magnifyingglass.circle.fill"}, // earlier rule wins
        {"browser_read", "doc.text.fill"},
    };
    for (const auto& c : cases) EXPECT_EQ(ToolCallRowModel::icon(c.name), QLatin1String(c.symbol)) << c.name;
}

TEST(ToolCallRow, TitlesAndTheContextRow) {
    ToolCallRowModel row;
    row.toolName = "execute_bash";
    EXPECT_EQ(row.title(), "execute bash");
    EXPECT_FALSE(row.isContext());
    row.toolName = "context_summary";
    EXPECT_EQ(row.title(), "Context");
    EXPECT_EQ(row.symbol(), "text.badge.minus");
    row.toolName = "context_summary_x";
    EXPECT_FALSE(row.isContext());

    ChatMessage unnamed;
    unnamed.role = Role::toolCall;
    const auto fromMessage = ToolCallRowModel::of(unnamed);
    EXPECT_EQ(fromMessage.toolName, "tool");
    EXPECT_EQ(fromMessage.argsPreview, "");
    EXPECT_FALSE(fromMessage.result.has_value());
}

TEST(ToolCallRow, PreviewKeepsOneHundredCharactersOnOneLine) {
    EXPECT_EQ(ToolCallRowModel::preview(QString(100, 'a')), QString(100, 'a'));
    EXPECT_EQ(ToolCallRowModel::preview(QString(101, 'a')), QString(100, 'a') + QStringLiteral("\u2026"));
    EXPECT_EQ(ToolCallRowModel::preview("exit_code: 0\nok\n"), "exit_code: 0 ok ");
    // Characters, not code units: 100 flags of two code points each stay whole.
    QString flags;
    for (int i = 0; i < 100; ++i) flags += QString::fromUtf8("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");
    EXPECT_EQ(ToolCallRowModel::preview(flags), flags);
    EXPECT_EQ(ToolCallRowModel::preview(flags + "x"), flags + QStringLiteral("\u2026"));
}

TEST(ToolCallRow, TrailingElementAndToggleFollowTheInputs) {
    struct Case {
        bool executing;
        std::optional<QString> result;
        Trailing trailing;
        bool toggle;
    } cases[] = {
        {true, std::nullopt, Trailing::spinner, false},
        {true, QString("done"), Trailing::spinner, true},
        {false, QString(""), Trailing::check, false},
        {false, QString("done"), Trailing::check, true},
        {false, std::nullopt, Trailing::none, false},
    };
    for (const auto& c : cases) {
        ToolCallRowModel row;
        row.toolName = "execute_bash";
        row.isExecuting = c.executing;
        row.result = c.result;
        EXPECT_EQ(row.trailing(), c.trailing);
        EXPECT_EQ(row.hasToggle(), c.toggle);
    }
}

TEST(ToolCallRow, TheViewTogglesBetweenPreviewAndWholeResult) {
    qtApp();
    ToolCallRowModel model;
    model.toolName = "execute_bash";
    model.argsPreview = "ls -la";
    model.isExecuting = true;
    InlineToolCallView view(model);
    view.resize(500, 80);
    view.show();
    EXPECT_TRUE(view.showsSpinner());
    EXPECT_FALSE(view.showsCheck());
    EXPECT_TRUE(view.toggleButton()->isHidden());

    model.isExecuting = false;
    model.result = QString("exit_code: 0\nline two");
    view.setModel(model);
    EXPECT_FALSE(view.showsSpinner());
    EXPECT_TRUE(view.showsCheck());
    EXPECT_EQ(view.previewLabel()->text(), "exit_code: 0 line two");
    EXPECT_TRUE(view.resultText()->isHidden());

    QTest::mouseClick(view.toggleButton(), Qt::LeftButton);
    EXPECT_TRUE(view.isExpanded());
    EXPECT_EQ(view.previewLabel()->text(), "Hide result");
    EXPECT_FALSE(view.resultText()->isHidden());
    EXPECT_EQ(view.resultText()->text(), "exit_code: 0\nline two");
    EXPECT_EQ(view.resultText()->textFormat(), Qt::PlainText);

    // New inputs keep the expansion; an empty result has nothing to expand.
    view.setModel(model);
    EXPECT_TRUE(view.isExpanded());
    model.result = QString();
    view.setModel(model);
    EXPECT_FALSE(view.isExpanded());
    EXPECT_TRUE(view.toggleButton()->isHidden());
    EXPECT_TRUE(view.showsCheck());
}

} // namespace
} // namespace vivirov::test
