#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VivirovKit/Agentic/ArtifactEngine.h"

namespace vivirov {
namespace {

struct Expected {
    ArtifactKind kind;
    std::string title;
    std::string content;
};

void expectArtifacts(const std::vector<Artifact>& actual, const std::vector<Expected>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(actual[i].kind, expected[i].kind);
        EXPECT_EQ(actual[i].title, expected[i].title);
        EXPECT_EQ(actual[i].content, expected[i].content);
        EXPECT_FALSE(actual[i].isStreaming);
    }
}

TEST(ArtifactKind, TagsAndRawValues) {
    struct Case {
        const char* tag;
        std::optional<ArtifactKind> kind;
    } cases[] = {
        {"react", ArtifactKind::react},   {"JSX", ArtifactKind::react},
        {"Tsx", ArtifactKind::react},     {"html", ArtifactKind::html},
        {"HTM", ArtifactKind::html},      {"svg", ArtifactKind::svg},
        {"Mermaid", ArtifactKind::mermaid}, {"markdown", ArtifactKind::markdown},
        {"MD", ArtifactKind::markdown},   {"MAR\u212aDOWN", ArtifactKind::markdown},
        {"", std::nullopt},
        {"python", std::nullopt},         {"html extra", std::nullopt},
        {" html", std::nullopt},          {"xhtml", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        EXPECT_EQ(artifactKindFromTag(c.tag), c.kind);
    }
    EXPECT_EQ(artifactKindFromRaw("mermaid"), ArtifactKind::mermaid);
    EXPECT_EQ(artifactKindFromRaw("HTML"), std::nullopt);
    EXPECT_EQ(artifactKindFromRaw("jsx"), std::nullopt);
    EXPECT_STREQ(displayName(ArtifactKind::mermaid), "Diagram");
    EXPECT_STREQ(displayName(ArtifactKind::markdown), "Document");
}

TEST(ArtifactEngine, ExtractsTaggedBlocks) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<Expected> expected;
    } cases[] = {
        {"no fence", "Just prose.", {}},
        {"unknown tag", "```python\nprint(1)\n```", {}},
        {"empty tag", "```\n<p>x</p>\n```", {}},
        {"second word after the tag", "```html page\n<p>x</p>\n```", {}},
        {"upper-case tag, content keeps its last line feed", "Here:\n```HTML\n<p>x</p>\n```\nDone",
         {{ArtifactKind::html, "HTML", "<p>x</p>\n"}}},
        {"blanks around the tag", "``` \tsvg \n<svg/>\n```", {{ArtifactKind::svg, "SVG", "<svg/>\n"}}},
        {"tag directly followed by the closing fence", "```html```", {}},
        {"body of white space only", "```html\n  \n\t\n```", {}},
        {"carriage return on the fence line", "```html\r\n<p>x</p>\r\n```", {}},
        {"open block at the end of the text", "Building:\n```html\n<h1>Hi",
         {{ArtifactKind::html, "HTML", "<h1>Hi"}}},
        {"blocks in text order, prose between never examined",
         "```svg\n<svg/>\n```\nsvg\n```mermaid\ngraph TD\n```",
         {{ArtifactKind::svg, "SVG", "<svg/>\n"}, {ArtifactKind::mermaid, "Diagram", "graph TD\n"}}},
        {"a stray fence shifts the pairing",
         "```html\n<p>```</p>\n```\nmiddle\n```svg\n<svg/>\n```",
         {{ArtifactKind::html, "HTML", "<p>"}}},
        {"four backticks split after the first three", "````html\n<p/>\n````", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectArtifacts(ArtifactEngine::extract(c.text), c.expected);
    }
}

TEST(ArtifactEngine, TitlesFollowTheKindsRules) {
    struct Case {
        const char* name;
        const char* tag;
        std::string body;
        std::string title;
    } cases[] = {
        {"react function name", "jsx", "function Counter() {}\n", "Counter"},
        {"react name with digits and underscore", "react", "function App_2() {}\n", "App_2"},
        {"react lower-case function, then class", "react",
         "function helper() {}\nclass Widget extends X {}\n", "Widget"},
        {"react const before class", "react", "const Panel = () => null;\nclass Widget {}\n",
         "Panel"},
        {"react only the first occurrence of a keyword counts", "react",
         "function helper() {}\nfunction Later() {}\n", "React"},
        {"react one-letter name refused", "react", "const A = () => null;\n", "React"},
        {"react falls back to a first-line comment", "react",
         "// Todo list\nfunction helper() {}\n", "Todo list"},
        {"html title element", "html", "<html><title> My Page </title></html>\n", "My Page"},
        {"html blank title element", "html", "<title>   </title>\n<p>x</p>\n", "HTML"},
        {"html blank title then a first-line comment", "html",
         "<!-- Landing -->\n<title> </title>\n", "Landing"},
        {"markdown level-one heading after a level-two one", "md",
         "## Intro\n#  Main Title  \ntext\n", "Main Title"},
        {"markdown comment when no level-one heading", "markdown", "<!-- Notes -->\n## Sub\n",
         "Notes"},
        {"markdown without either", "markdown", "## Sub\ntext\n", "Document"},
        {"mermaid first-line comment after blank lines", "mermaid", "\n  \n  // Flow  \ngraph TD\n",
         "Flow"},
        {"mermaid without a comment", "mermaid", "%% note\ngraph TD\n", "Diagram"},
        {"svg comment", "svg", "<!-- Logo -->\n<svg/>\n", "Logo"},
        {"svg comment on a later line is ignored", "svg", "<svg>\n<!-- Logo -->\n</svg>\n", "SVG"},
        {"a bare // gives no title", "svg", "//\n<svg/>\n", "SVG"},
        {"an unclosed comment gives no title", "svg", "<!-- Logo\n<svg/>\n", "SVG"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto artifacts =
            ArtifactEngine::extract(std::string("```") + c.tag + "\n" + c.body + "```");
        ASSERT_EQ(artifacts.size(), 1u);
        EXPECT_EQ(artifacts[0].title, c.title);
    }
}

TEST(ArtifactEngine, EveryExtractionMintsFreshIds) {
    const std::string text = "```svg\n<svg/>\n```\n```html\n<p/>\n```";
    const auto first = ArtifactEngine::extract(text);
    const auto second = ArtifactEngine::extract(text);
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_NE(first[0].id, first[1].id);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(first[i].kind, second[i].kind);
        EXPECT_EQ(first[i].title, second[i].title);
        EXPECT_EQ(first[i].content, second[i].content);
        EXPECT_NE(first[i].id, second[i].id);
    }
    EXPECT_NE(first, second);
}

TEST(ArtifactEngine, CurrentIsTheLastArtifactWithTheStreamingFlag) {
    EXPECT_EQ(ArtifactEngine::current("no blocks", true), std::nullopt);

    const std::string twoThenOther =
        "```svg\n<svg/>\n```\n```html\n<p>2</p>\n```\n```python\nx = 1\n```";
    const auto last = ArtifactEngine::current(twoThenOther, false);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->kind, ArtifactKind::html);
    EXPECT_EQ(last->content, "<p>2</p>\n");
    EXPECT_FALSE(last->isStreaming);

    // A reply streaming into an open block: the block grows with the text.
    std::string reply = "Sure:\n```html\n<h1>";
    const auto early = ArtifactEngine::current(reply, true);
    reply += "Hello</h1>\n";
    const auto later = ArtifactEngine::current(reply, true);
    ASSERT_TRUE(early && later);
    EXPECT_TRUE(early->isStreaming);
    EXPECT_EQ(early->content, "<h1>");
    EXPECT_EQ(later->content, "<h1>Hello</h1>\n");
    EXPECT_FALSE(ArtifactEngine::extract(reply).back().isStreaming);
}

} // namespace
} // namespace vivirov
