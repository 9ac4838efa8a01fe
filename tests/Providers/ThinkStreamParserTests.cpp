#include <gtest/gtest.h>

#include <random>

#include "VivirovKit/Providers/ThinkStreamParser.h"
#include "tests/support/ScopedEnv.h"

using namespace vivirov;
using Piece = ThinkStreamParser::Piece;

namespace {

std::vector<Piece> feedAll(ThinkStreamParser& p, const std::vector<std::string>& pieces) {
    std::vector<Piece> out;
    for (const auto& s : pieces) {
        auto got = p.feed(s, false);
        out.insert(out.end(), got.begin(), got.end());
    }
    auto rest = p.flush();
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

struct Joined {
    std::string answer, reasoning;
    bool operator==(const Joined&) const = default;
};

Joined join(const std::vector<Piece>& pieces) {
    Joined j;
    for (const auto& p : pieces) (p.kind == Piece::Kind::answer ? j.answer : j.reasoning) += p.text;
    return j;
}

// Byte offsets where a code point starts (pieces always carry whole code points).
std::vector<size_t> codePointStarts(const std::string& s) {
    std::vector<size_t> out;
    for (size_t i = 1; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) out.push_back(i);
    return out;
}

} // namespace

TEST(ThinkStreamParser, HoldsBackSixteenCharactersOutsideTags) {
    ThinkStreamParser p(false);
    EXPECT_TRUE(p.feed("0123456789", false).empty());
    auto got = p.feed("abcdefghijklmnopqrst", false); // pending reaches 30
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Piece::answer("0123456789abcd"));
    EXPECT_EQ(p.flush(), std::vector<Piece>{Piece::answer("efghijklmnopqrst")});
    EXPECT_EQ(p.answer(), "0123456789abcdefghijklmnopqrst");
}

TEST(ThinkStreamParser, CutsBeforeALessThanInTheTail) {
    ThinkStreamParser p(false);
    auto got = p.feed("the value is clearly a < b here", false);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Piece::answer("the value is clearly a "));
    // Counted in characters: multi-byte letters do not shorten the hold-back.
    ThinkStreamParser q(false);
    std::string eAcute = "\xC3\xA9";
    std::string text;
    for (int i = 0; i < 20; ++i) text += eAcute;
    auto pieces = q.feed(text, false);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].text.size(), 8u); // four characters released
}

TEST(ThinkStreamParser, TagSplitAcrossPieces) {
    for (bool surface : {true, false}) {
        ThinkStreamParser p(surface);
        EXPECT_TRUE(p.feed("abc <th", false).empty());
        auto got = p.feed("ink>x</think>y", false);
        std::vector<Piece> expected = {Piece::answer("abc ")};
        if (surface) expected.push_back(Piece::reasoning("x"));
        EXPECT_EQ(got, expected);
        EXPECT_EQ(p.reasoning(), "x");
        EXPECT_FALSE(p.insideThink());
        EXPECT_EQ(p.flush(), std::vector<Piece>{Piece::answer("y")});
    }
}

TEST(ThinkStreamParser, TagForms) {
    struct Case { std::string input; std::string answer, reasoning; };
    const Case cases[] = {
        {"a<THINK>r</think>b", "ab", "r"},
        {"a<Thinking>r</Thinking>b", "ab", "r"},
        {"a<thinking>r</think>b", "ab", "r"}, // any closer closes any opener
        {"a\xE2\x97\x81think\xE2\x96\xB7r\xE2\x97\x81/think\xE2\x96\xB7" "b", "ab", "r"},
        {"a<|think|>r<|/think|>b", "ab", "r"},
        {"a</think>b", "a</think>b", ""},            // a closer outside is answer text
        {"<think>r<think>s</think>t", "t", "r<think>s"}, // an opener inside is reasoning
        {"a<think>never closed", "a", "never closed"},
        {"tail <thi", "tail <thi", ""},               // an unfinished tag ends as answer
    };
    for (const auto& c : cases) {
        ThinkStreamParser p(true);
        Joined got = join(feedAll(p, {c.input}));
        EXPECT_EQ(got.answer, c.answer) << c.input;
        EXPECT_EQ(got.reasoning, c.reasoning) << c.input;
        EXPECT_EQ(p.answer(), c.answer);
        EXPECT_EQ(p.reasoning(), c.reasoning);
    }
}

TEST(ThinkStreamParser, ReasoningFieldAndSurfacing) {
    ThinkStreamParser quiet(false);
    EXPECT_TRUE(quiet.feed("<think>plan", true).empty());
    EXPECT_FALSE(quiet.insideThink());
    EXPECT_TRUE(quiet.feed("<think>more than sixteen characters of thought", false).empty());
    EXPECT_TRUE(quiet.flush().empty()); // inside, not surfacing: collected only
    EXPECT_EQ(quiet.reasoning(), "<think>planmore than sixteen characters of thought");
    EXPECT_FALSE(quiet.insideThink());

    ThinkStreamParser loud(true);
    EXPECT_EQ(loud.feed("<think>x", true), std::vector<Piece>{Piece::reasoning("<think>x")});
    EXPECT_FALSE(loud.insideThink());

    ThinkStreamParser inside(true);
    inside.feed("<think>abc", false);
    EXPECT_TRUE(inside.feed("", false).empty());
    EXPECT_TRUE(inside.insideThink());
    EXPECT_EQ(inside.flush(), std::vector<Piece>{Piece::reasoning("abc")});
}

TEST(ThinkStreamParser, EnvironmentSwitch) {
    struct Case { std::optional<std::string> value; bool surfaces; };
    const Case cases[] = {{"1", true}, {"TRUE", true}, {"Yes", true}, {"on", false},
                          {"2", false}, {"", false}, {std::nullopt, false}};
    for (const auto& c : cases) {
        test::ScopedEnv env("VIVIROV_THINKING", c.value);
        EXPECT_EQ(ThinkStreamParser().surfaceReasoning(), c.surfaces) << c.value.value_or("<unset>");
    }
}

// However the same text is cut into pieces, the parser yields the same answer
// and reasoning, and never more than the hold-back stays pending.
TEST(ThinkStreamParser, OutputDoesNotDependOnChunking) {
    const std::vector<std::string> inputs = {
        "Hello <think>plan the steps</think>World and then some more text",
        "x<THINKING>deep \xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9 thought</thinking> after a < b <c",
        "\xE2\x97\x81think\xE2\x96\xB7 r \xE2\x97\x81/think\xE2\x96\xB7 \xE2\x97\x81 not a tag <|think|>s<|/think|>",
        "prefix with no tags at all but many characters \xC3\xA9\xC3\xA9\xC3\xA9 e\xCC\x81",
        "<think>unterminated reasoning that runs long enough to be released in parts",
        "a</think>b<think>c<think>d</THINK>e<thi",
        "<<<<<<<<<<<<<<<<<<<<<<think>x</think><<<",
    };
    std::mt19937 rng(1234);
    for (bool surface : {true, false}) {
        for (const auto& input : inputs) {
            ThinkStreamParser whole(surface);
            Joined expected = join(feedAll(whole, {input}));
            auto starts = codePointStarts(input);
            auto check = [&](const std::vector<std::string>& pieces) {
                ThinkStreamParser p(surface);
                ASSERT_EQ(join(feedAll(p, pieces)), expected) << input;
                ASSERT_EQ(p.answer(), whole.answer());
                ASSERT_EQ(p.reasoning(), whole.reasoning());
            };
            // Every cut into two pieces, then one piece per code point, then random cuts.
            for (size_t cut : starts) check({input.substr(0, cut), input.substr(cut)});
            std::vector<std::string> single;
            size_t prev = 0;
            for (size_t cut : starts) { single.push_back(input.substr(prev, cut - prev)); prev = cut; }
            single.push_back(input.substr(prev));
            check(single);
            for (int round = 0; round < 50; ++round) {
                std::vector<std::string> pieces;
                size_t from = 0;
                for (size_t cut : starts)
                    if (rng() % 4 == 0) { pieces.push_back(input.substr(from, cut - from)); from = cut; }
                pieces.push_back(input.substr(from));
                check(pieces);
            }
        }
    }
}
