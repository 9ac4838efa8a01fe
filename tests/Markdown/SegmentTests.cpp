#include <gtest/gtest.h>

#include "VivirovVizivurad/Markdown/InlineMarkdown.h"
#include "VivirovVizivurad/Markdown/Segment.h"

using namespace vivirov;

namespace {
Segment prose(int id, const QString& text) { return {id, Segment::Kind::prose, text, std::nullopt}; }
Segment code(int id, const QString& text, std::optional<QString> lang = std::nullopt) {
    return {id, Segment::Kind::code, text, lang};
}
} // namespace

TEST(Segment, ParseCases) {
    const QString lang24(24, u'l'), lang25(25, u'l');
    const struct {
        const char* name;
        QString text;
        std::vector<Segment> expected;
    } cases[] = {
        {"no fence", "just prose", {prose(0, "just prose")}},
        {"empty", "", {prose(0, "")}},
        {"blanks only", " \n\t", {prose(0, " \n\t")}},
        {"language", "a\n```json\n{}\n```\nb", {prose(0, "a\n"), code(1, "{}", "json"), prose(2, "\nb")}},
        {"24-unit language", "```" + lang24 + "\nx```", {code(0, "x", lang24)}},
        {"25-unit first line stays code", "```" + lang25 + "\nx```", {code(0, lang25 + "\nx")}},
        {"first line with a space", "```a b\nx```", {code(0, "a b\nx")}},
        {"empty first line", "```\nx\n```", {code(0, "\nx")}},
        {"no line feed", "```inline```", {code(0, "inline")}},
        {"mid-sentence fence and unclosed rest", "say ```x``` and ```y", {prose(0, "say "), code(1, "x"), prose(2, " and "), code(3, "y")}},
        {"empty code between fences", "``````", {code(0, "")}},
        {"blank prose between blocks keeps ids consecutive", "```a```  \n```b```", {code(0, "a"), code(1, "b")}},
        {"two trailing line feeds keep one", "```sh\nls\n\n```", {code(0, "ls\n", "sh")}},
    };
    for (const auto& c : cases) EXPECT_EQ(Segment::parse(c.text), c.expected) << c.name;
}

TEST(InlineMarkdown, ParsesInlineSyntaxAndKeepsTheRest) {
    auto runs = InlineMarkdown::parse(u"# Title\n- **bold** and *it* ~~old~~ `a*b*` [x](y) \\*lit\\*  end");
    ASSERT_TRUE(runs.has_value());
    QString joined;
    for (const auto& run : *runs) joined += run.text;
    EXPECT_EQ(joined, QStringLiteral("# Title\n- bold and it old a*b* x *lit*  end"));
    auto find = [&](const QString& text) {
        for (const auto& run : *runs)
            if (run.text == text) return run;
        return InlineRun{};
    };
    EXPECT_TRUE(find("bold").strong);
    EXPECT_TRUE(find("it").emphasis);
    EXPECT_TRUE(find("old").strikethrough);
    EXPECT_TRUE(find("a*b*").code);
    EXPECT_EQ(find("x").link, QStringLiteral("y"));

    // Unmatched or space-flanked markers and snake_case stay literal.
    runs = InlineMarkdown::parse(u"2 * 3 * 4, snake_case_name, **open");
    ASSERT_TRUE(runs.has_value());
    ASSERT_EQ(runs->size(), 1u);
    EXPECT_EQ(runs->front().text, QStringLiteral("2 * 3 * 4, snake_case_name, **open"));

    const QChar lone[] = {QChar(0xD800), u'a'};
    EXPECT_FALSE(InlineMarkdown::parse(QStringView(lone, 2)).has_value());
}
