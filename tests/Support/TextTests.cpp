#include <gtest/gtest.h>

#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/Regex.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Support/UUID.h"

using namespace vivirov;

TEST(Graphemes, CountsUserPerceivedCharacters) {
    struct Case { const char* text; size_t count; };
    const Case cases[] = {
        {"", 0},
        {"abc", 3},
        {"e\xCC\x81", 1},                                   // e + combining acute
        {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", 1}, // family ZWJ sequence
        {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7", 2},         // two flags
        {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD!", 2},            // thumbs up + skin tone, '!'
        {"\r\n", 1},
        {"\xED\x95\x9C\xEA\xB8\x80", 2},                     // Hangul syllables
    };
    for (const auto& c : cases) EXPECT_EQ(text::graphemeCount(c.text), c.count) << c.text;
}

TEST(Graphemes, PrefixSuffixAndSliceNeverSplitACluster) {
    std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";
    std::string s = "a" + family + "e\xCC\x81" + "z";
    EXPECT_EQ(text::graphemePrefix(s, 2), "a" + family);
    EXPECT_EQ(text::graphemeSuffix(s, 2), "e\xCC\x81z");
    EXPECT_EQ(text::graphemeSlice(s, 1, 2), family + "e\xCC\x81");
    EXPECT_EQ(text::graphemePrefix(s, 99), s);
    EXPECT_EQ(text::graphemeSuffix(s, 0), "");
    EXPECT_EQ(text::graphemeIndexOfByte(s, 1 + family.size()), 2u);
}

// Long ASCII runs take a fast path; where it hands over to the full
// iterator (a combining mark after ASCII, CR LF at the seam) must not change
// a count or an offset.
TEST(Graphemes, AsciiRunsCountLikeTheFullIterator) {
    const std::string acute = "\xCC\x81", family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";
    const std::string run(70, 'a'); // longer than one 32-byte block
    struct Case { std::string text; size_t count; };
    for (const Case& c : std::vector<Case>{
             {run + "e" + acute + "z", 72},
             {run + "\r\n" + acute, 72},          // a mark after CR LF stands alone
             {run + "\r\r\n\n" + family, 74},
             {"\r\n" + run + "\r\n", 72},
             {run + "\r", 71},
             {std::string(63, 'b') + "\r\n" + run, 134},           // CR LF across a block edge
             {std::string(63, 'b') + "\r\n" + acute + run, 135},
         }) {
        EXPECT_EQ(text::graphemeCount(c.text), c.count) << c.text;
        for (size_t n = 0; n <= c.count; ++n) {
            const std::string head = text::graphemePrefix(c.text, n);
            EXPECT_EQ(text::graphemeCount(head), n) << c.text << " at " << n;
            EXPECT_EQ(text::graphemeCount(head) + text::graphemeCount(c.text.substr(head.size())), c.count);
        }
    }
}

TEST(UTF8, ReplacesEachMaximalSubpart) {
    struct Case { std::string in, out; };
    const std::string R = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"ok", "ok"},
        {"\xE2\x82", R},                 // truncated 3-byte sequence: one replacement
        {"\xE2\x82" "a", R + "a"},
        {"\xFF\xFE", R + R},
        {"\xC0\xAF", R + R},             // overlong
        {"\xED\xA0\x80", R + R + R},     // surrogate
        {"\xF0\x9F\x98", R},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(text::decodeUTF8Lossy(c.in), c.out);
    EXPECT_EQ(text::completeUTF8PrefixLength("ab\xF0\x9F\x98"), 2u);
    EXPECT_EQ(text::completeUTF8PrefixLength("ab\xC3\xA9"), 4u);
}

TEST(TextHelpers, CaseAndTrim) {
    EXPECT_EQ(text::lowercased("\xC3\x84" "BC"), "\xC3\xA4" "bc");
    EXPECT_TRUE(text::containsCaseInsensitive("Stra\xC3\x9F" "e", "STRASSE"));
    EXPECT_FALSE(text::containsCaseInsensitive("abc", "abd"));
    EXPECT_EQ(text::trimmed(" \t\n x y \xE2\x80\x83\r\n"), "x y");
}

TEST(Regex, UsesICUSyntaxAndReportsByteOffsets) {
    Regex r("(?is)<think>(.*?)</think>");
    ASSERT_TRUE(r.isValid());
    auto m = r.firstMatch("\xC3\xA9<THINK>a\nb</think>x");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->begin, 2u);
    EXPECT_EQ(m->group(1), "a\nb");
    Regex digits("\\d+");
    EXPECT_EQ(digits.firstMatch("x\xD9\xA3\xD9\xA4")->group(0), "\xD9\xA3\xD9\xA4"); // Arabic-Indic digits
    EXPECT_EQ(Regex("(a)(b)?").allMatches("a a").size(), 2u);
    EXPECT_FALSE(Regex("(").isValid());
    EXPECT_EQ(Regex("o").replaceAll("foo", "0"), "f00");
}

TEST(Env, IntegerAndSwitchRules) {
    struct Case { const char* text; std::optional<int64_t> value; };
    const Case cases[] = {
        {"42", 42}, {"+7", 7}, {"-3", -3}, {"", std::nullopt}, {" 4", std::nullopt},
        {"4x", std::nullopt}, {"+", std::nullopt}, {"99999999999999999999", std::nullopt},
        {"-9223372036854775808", INT64_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(env::parseInteger(c.text), c.value) << c.text;
    setenv("VIVIROV_TEST_SWITCH", "1", 1);
    EXPECT_TRUE(env::isOn("VIVIROV_TEST_SWITCH"));
    setenv("VIVIROV_TEST_SWITCH", "true", 1);
    EXPECT_FALSE(env::isOn("VIVIROV_TEST_SWITCH"));
    EXPECT_TRUE(env::isDefaultOnEnabled("VIVIROV_TEST_SWITCH"));
    setenv("VIVIROV_TEST_SWITCH", "0", 1);
    EXPECT_FALSE(env::isDefaultOnEnabled("VIVIROV_TEST_SWITCH"));
    unsetenv("VIVIROV_TEST_SWITCH");
    EXPECT_TRUE(env::isDefaultOnEnabled("VIVIROV_TEST_SWITCH"));
}

TEST(UUID, RandomIsVersion4UpperCaseAndRoundTrips) {
    UUID id = UUID::random();
    std::string s = id.string();
    ASSERT_EQ(s.size(), 36u);
    EXPECT_EQ(s[14], '4');
    EXPECT_EQ(s, text::uppercased(s));
    EXPECT_EQ(UUID::parse(s), id);
    EXPECT_EQ(UUID::parse(id.lowercaseString()), id);
    EXPECT_FALSE(UUID::parse("not-a-uuid"));
    EXPECT_NE(UUID::random(), id);
}

TEST(Json, ParseNeverThrows) {
    EXPECT_FALSE(json::parse("{\"a\":"));
    EXPECT_FALSE(json::parse("\"\xFF\""));
    EXPECT_FALSE(json::parse(""));
    auto v = json::parse("{\"a\":\"x\",\"n\":3,\"f\":1.5}");
    ASSERT_TRUE(v);
    EXPECT_EQ(json::stringMember(*v, "a"), "x");
    EXPECT_EQ(json::integerMember(*v, "n"), 3);
    EXPECT_FALSE(json::integerMember(*v, "f"));
    EXPECT_FALSE(json::stringMember(*v, "n"));
    EXPECT_FALSE(json::stringMember(json::Value::array(), "a"));
}

TEST(Paths, ApplicationSupportFollowsXDG) {
    setenv("XDG_DATA_HOME", "/tmp/xdg-data/", 1);
    EXPECT_EQ(paths::appData(), "/tmp/xdg-data/com.dudive.vivirov");
    setenv("XDG_DATA_HOME", "relative", 1);
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(paths::applicationSupport(), "/home/someone/.local/share");
    unsetenv("XDG_DATA_HOME");
}
