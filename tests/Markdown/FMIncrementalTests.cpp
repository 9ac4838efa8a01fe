#include <gtest/gtest.h>

#include <QStringList>
#include <random>

#include "VivirovVizivurad/Markdown/FMIncremental.h"

using namespace vivirov;

namespace {
FMSegment prose(const QString& text) { return {text, FMBlockKind::prose, std::nullopt}; }
FMSegment code(const QString& text, std::optional<QString> lang) { return {text, FMBlockKind::code, lang}; }

struct AdvanceCase {
    const char* name;
    QString text;
    std::vector<FMSegment> commit;
    FMSegment open;
    FMIncrementalState state;
};
} // namespace

TEST(FMIncremental, AdvanceCases) {
    const QString json = QStringLiteral("```json\n{\n```\nafter");
    const std::vector<AdvanceCase> cases = {
        {"unfinished line", "hello", {}, prose("hello"), {0, false, {}}},
        {"paragraph and blank line", "12345678\n\nsecond", {prose("12345678\n\n")}, prose("second"), {10, false, {}}},
        {"further blank lines are their own segments", "a\n\n\n", {prose("a\n\n"), prose("\n")}, prose(""), {4, false, {}}},
        {"json fence", json, {code("{\n", "json")}, prose("after"), {14, false, {}}},
        {"fence before its line feed", "text\n```py", {}, prose("text\n```py"), {0, false, {}}},
        {"fence once its line feed arrives", "text\n```py\n", {prose("text\n")}, code("", "py"), {11, true, "py"}},
        {"fence with language inside a fence is code", "```\n```js\n", {code("```js\n", {})}, code("", {}), {10, true, {}}},
        {"four backticks close", "```\nx\n````\n", {code("x\n", {})}, prose(""), {11, false, {}}},
        {"tildes are text", "~~~\nx", {}, prose("~~~\nx"), {0, false, {}}},
        {"four-space indent is text", "    ```\nx", {}, prose("    ```\nx"), {0, false, {}}},
        {"tab indent is text", "\t```\nx", {}, prose("\t```\nx"), {0, false, {}}},
        {"three-space indent opens", "   ```c\nx", {}, code("x", "c"), {8, true, "c"}},
        {"four backticks give a language with a backtick", "````js\n", {}, code("", "`js"), {7, true, "`js"}},
        {"two words are the language", "``` a b\n", {}, code("", "a b"), {8, true, "a b"}},
        {"unterminated fence", "```rs\nfn\nlet", {code("fn\n", "rs")}, code("let", "rs"), {9, true, "rs"}},
    };
    for (const auto& c : cases) {
        const FMAdvance out = FMIncremental::advance(c.text, FMIncrementalState{});
        EXPECT_EQ(out.commit, c.commit) << c.name;
        EXPECT_EQ(out.open, c.open) << c.name;
        EXPECT_EQ(out.state, c.state) << c.name;
    }
}

TEST(FMIncremental, LongProseIsChunked) {
    // Lines of 99 units with line feeds: each chunk ends after the last line
    // feed inside its 2048-unit window.
    QString lines;
    while (lines.size() < 5000) lines += QString(99, u'x') + u'\n';
    auto out = FMIncremental::advance(lines.left(5000), FMIncrementalState{});
    ASSERT_EQ(out.commit.size(), 2u);
    EXPECT_EQ(out.commit[0].text.size(), 2000);
    EXPECT_EQ(out.commit[1].text.size(), 2000);
    EXPECT_EQ(out.open.text.size(), 1000);

    // One line without line feeds is cut hard at 2048 and 4096.
    out = FMIncremental::advance(QString(5000, u'y'), FMIncrementalState{});
    ASSERT_EQ(out.commit.size(), 2u);
    EXPECT_EQ(out.commit[0].text.size(), 2048);
    EXPECT_EQ(out.commit[1].text.size(), 2048);
    EXPECT_EQ(out.open.text.size(), 904);
    EXPECT_EQ(out.state.committedSrc, 4096);
}

TEST(FMIncremental, HardCutKeepsSurrogatePairsWhole) {
    // An emoji straddling unit 2048 moves the cut back one unit.
    QString text = QString(2047, u'a') + QString::fromUtf8("😀") + QString(10, u'b');
    const auto out = FMIncremental::advance(text, FMIncrementalState{});
    ASSERT_EQ(out.commit.size(), 1u);
    EXPECT_EQ(out.commit[0].text.size(), 2047);
    EXPECT_TRUE(out.open.text.startsWith(QString::fromUtf8("😀")));
}

namespace {
// Commits and the open tail, with neighbouring segments of one kind and
// language merged, so chunk boundaries do not matter.
std::vector<FMSegment> merged(std::vector<FMSegment> segments) {
    std::vector<FMSegment> out;
    for (auto& s : segments) {
        if (s.text.isEmpty()) continue;
        if (!out.empty() && out.back().kind == s.kind && out.back().lang == s.lang) out.back().text += s.text;
        else out.push_back(std::move(s));
    }
    return out;
}
} // namespace

TEST(FMIncremental, GrowingPrefixesMatchOneCall) {
    std::mt19937 random(7);
    const QStringList pieces = {"word ", "**bold** ", "\n", "\n\n", "```js\n", "```\n", "    ```\n",
                                "let x = 1;\n", "😀", "~~~\n", QString(700, u'z') + u'\n', "````\n", " \n"};
    for (int round = 0; round < 200; ++round) {
        QString text;
        const int count = 5 + int(random() % 60);
        for (int i = 0; i < count; ++i) text += pieces[int(random() % pieces.size())];

        const FMAdvance whole = FMIncremental::advance(text, FMIncrementalState{});
        std::vector<FMSegment> oneCall = whole.commit;

        std::vector<FMSegment> streamed;
        FMIncrementalState state;
        FMAdvance last;
        qsizetype end = 0;
        while (end < text.size()) {
            end = std::min<qsizetype>(text.size(), end + 1 + qsizetype(random() % 9));
            last = FMIncremental::advance(QStringView(text).first(end), state);
            for (auto& s : last.commit) streamed.push_back(s);
            state = last.state;
        }
        EXPECT_EQ(merged(streamed), merged(oneCall)) << "round " << round;
        EXPECT_EQ(last.open, whole.open) << "round " << round;
        EXPECT_EQ(last.state, whole.state) << "round " << round;
    }
}
