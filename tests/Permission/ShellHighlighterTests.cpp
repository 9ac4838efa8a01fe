#include <gtest/gtest.h>

#include <QTextDocument>

#include "VivirovVizivurad/Appearance/Appearance.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Permission/ShellHighlighter.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {
namespace {

enum class Ink { orange, gold, cyan, crimson, first, path, plain, clear };

QColor inkColor(Ink ink) {
    const auto& p = ThemeSnapshot::palette;
    switch (ink) {
    case Ink::orange: return p.orange;
    case Ink::gold: return p.gold;
    case Ink::cyan: return p.cyan;
    case Ink::crimson: return p.crimson;
    case Ink::first: return QColor::fromRgbF(1, 1, 1, 0.92f);
    case Ink::path: return ShellHighlighter::pathColor();
    case Ink::plain: return QColor::fromRgbF(1, 1, 1, 0.80f);
    case Ink::clear: return Qt::transparent;
    }
    return {};
}

// The tokens of a command with their colours, separators left out.
std::vector<std::pair<QString, QColor>> tokens(const QString& source) {
    std::vector<std::pair<QString, QColor>> out;
    const auto spans = ShellHighlighter::attributed(source);
    for (size_t i = 0; i < spans.size(); i += 2) out.emplace_back(spans[i].text, spans[i].color);
    return out;
}

class Highlighter : public ::testing::Test {
protected:
    Highlighter() {
        qtApp();
        Appearance::shared().setTheme(ThemeKind::midnight);
    }
    void expect(const QString& source, std::vector<std::pair<QString, Ink>> want) {
        const auto got = tokens(source);
        ASSERT_EQ(got.size(), want.size()) << source.toStdString();
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].first, want[i].first) << source.toStdString() << " #" << i;
            EXPECT_EQ(got[i].second, inkColor(want[i].second)) << got[i].first.toStdString();
        }
    }
};

TEST_F(Highlighter, ColoursFollowTheFirstRuleThatFits) {
    expect(R"(git commit --amend -m "fix the  bug" && ls -la ./src)",
           {{"git", Ink::crimson},
            {"commit", Ink::plain},
            {"--amend", Ink::cyan},
            {"-m", Ink::cyan},
            {"\"fix the  bug\"", Ink::gold},
            {"&&", Ink::orange},
            {"ls", Ink::crimson},
            {"-la", Ink::cyan},
            {"./src", Ink::path}});
    expect("ls|grep x", {{"ls|grep", Ink::first}, {"x", Ink::plain}});
    expect("tail - file", {{"tail", Ink::first}, {"-", Ink::plain}, {"file", Ink::plain}});
    expect("./build.sh ./build.sh ~/x", {{"./build.sh", Ink::first}, {"./build.sh", Ink::path}, {"~/x", Ink::path}});
    expect("make | tee log ; ./run", {{"make", Ink::crimson}, {"|", Ink::orange}, {"tee", Ink::first},
                                      {"log", Ink::plain}, {";", Ink::orange}, {"./run", Ink::first}});
    expect("Git LS", {{"Git", Ink::first}, {"LS", Ink::plain}});
}

TEST_F(Highlighter, QuotesKeepTheirBlanksAndAnUnclosedOneRunsToTheEnd) {
    expect(R"(echo "a b 'c' d)", {{"echo", Ink::crimson}, {R"("a b 'c' d)", Ink::gold}});
    expect("echo it's here now", {{"echo", Ink::crimson}, {"it's here now", Ink::plain}});
    expect("echo don't 'x y'z w", {{"echo", Ink::crimson}, {"don't 'x", Ink::plain}, {"y'z w", Ink::plain}});
}

TEST_F(Highlighter, LineFeedsAreTokensAndBlanksCollapse) {
    EXPECT_EQ(ShellHighlighter::tokenize("cd /tmp\n\tls   -a"),
              (std::vector<QString>{"cd", "/tmp", "\n", "ls", "-a"}));
    const auto spans = ShellHighlighter::attributed("cd /tmp\nls");
    QString joined;
    for (const auto& s : spans) joined += s.text;
    EXPECT_EQ(joined, "cd /tmp \n ls");
    EXPECT_EQ(spans[4].color, QColor(Qt::transparent));
    // After a line feed the next word is not in first-word position.
    expect("cd /tmp\nfoo", {{"cd", Ink::crimson}, {"/tmp", Ink::path}, {"\n", Ink::clear}, {"foo", Ink::plain}});

    QTextDocument document;
    ShellHighlighter::render("cd /tmp\nls", document, QFont(), 4.8);
    EXPECT_EQ(document.blockCount(), 2);
    EXPECT_EQ(document.toPlainText(), "cd /tmp \n ls");
}

TEST_F(Highlighter, TheWordListsAreTheShellsOwn) {
    EXPECT_EQ(ShellHighlighter::keywords().size(), 40);
    EXPECT_EQ(ShellHighlighter::operators(), (QStringList{"|", "||", "&&", ">", ">>", "<", "&", ";"}));
}

} // namespace
} // namespace vivirov::test
