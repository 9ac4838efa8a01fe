#include <gtest/gtest.h>

#include "VivirovVizivurad/HostTools/WebPageText.h"

namespace vivirov {
namespace {

TEST(HtmlToText, GoldenTable) {
    struct Case {
        std::string html, text;
    };
    const std::vector<Case> cases = {
        {"<p>a</p><p>b</p>", "a\n b"},
        {"x<script type=\"t\">var a = '<p>';</script>y", "x y"},
        {"x<SCRIPT>kept</SCRIPT>y", "x kept y"}, // element names match in the case written
        {"<head><title>T</title></head><body>b</body>", "b"},
        {"a<style>p{}</style><noscript>n</noscript><svg><g/></svg>b", "a b"},
        {"a<br>b<BR/>c<br class=x>d", "a\nb\nc\nd"},
        {"<h2>T</h2>body</LI>x</tr>y</section>z", "T\nbody\nx\ny\nz"},
        {"a\n\n\nb", "a\n\nb"},
        {"a\n \n\t\n\n\nb", "a\n\nb"},
        {"a \t  b", "a b"},
        {"&amp;&lt;&gt;&quot;&#39;&apos;&nbsp;&mdash;&ndash;&copy;", "&<>\"'' \xE2\x80\x94\xE2\x80\x93&copy;"},
        {"&amp;lt;", "&lt;"}, // decoded once
        {"1 < 2 and 3 > 2", "1 2"}, // "< 2 and 3 >" is a tag to the rule
        {"a <> b", "a <> b"},
        {"unclosed <b", "unclosed <b"},
        {"<script>never closed <p>x</p>", "never closed x"},
        {"  \n<div>x</div>\n  ", "x"},
    };
    for (const auto& c : cases) EXPECT_EQ(webtext::htmlToText(c.html), c.text) << c.html;
}

TEST(HtmlToText, UnclosedOpeningsCostOnePass) {
    // Many unclosed openings must not each scan to the end.
    std::string html;
    for (int i = 0; i < 200'000; ++i) html += "<script x";
    html += ">";
    EXPECT_EQ(webtext::htmlToText(html), "");
    std::string angles(500'000, '<');
    EXPECT_EQ(webtext::htmlToText(angles + ">"), "");
}

TEST(DecodeBody, CharsetRules) {
    EXPECT_EQ(webtext::decodeBody("caf\xE9", "text/html; charset=\"iso-8859-1\""), "caf\xC3\xA9");
    EXPECT_EQ(webtext::decodeBody("caf\xC3\xA9", "text/html;charset=UTF-8"), "caf\xC3\xA9");
    EXPECT_EQ(webtext::decodeBody("caf\xE9", "text/html; charset=utf-8"), "caf\xEF\xBF\xBD");
    EXPECT_EQ(webtext::decodeBody("caf\xC3\xA9", "text/html; charset=no-such-set"), "caf\xC3\xA9");
    EXPECT_EQ(webtext::decodeBody("\x82\xA0", "text/plain; charset=Shift_JIS"), "\xE3\x81\x82");
}

} // namespace
} // namespace vivirov
