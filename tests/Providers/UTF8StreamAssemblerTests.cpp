#include <gtest/gtest.h>

#include "VivirovKit/Providers/UTF8StreamAssembler.h"
#include "VivirovKit/Support/Text.h"

using namespace vivirov;
using Bytes = std::vector<uint8_t>;

namespace {
const std::string R = "\xEF\xBF\xBD";

std::vector<std::string> run(const std::vector<Bytes>& pieces, bool flush = true) {
    UTF8StreamAssembler a;
    std::vector<std::string> out;
    for (const auto& p : pieces) out.push_back(a.consume(p));
    if (flush) out.push_back(a.flush());
    EXPECT_TRUE(a.isEmpty());
    return out;
}
} // namespace

TEST(UTF8StreamAssembler, ByteTable) {
    struct Case { std::vector<Bytes> pieces; std::vector<std::string> out; };
    const Case cases[] = {
        {{{0xC3}, {0xA9}}, {"", "\xC3\xA9", ""}},
        {{{0xE2}, {0x82, 0xAC}}, {"", "\xE2\x82\xAC", ""}},
        {{{0xE2, 0x82}, {0xAC}}, {"", "\xE2\x82\xAC", ""}},
        {{{0xE2, 0x82, 0xAC}}, {"\xE2\x82\xAC", ""}},
        {{{0xF0, 0x9F, 0x98}, {0x80}}, {"", "\xF0\x9F\x98\x80", ""}},
        {{{'a', 'b', 'c'}}, {"abc", ""}},
        {{{0xE2, 0x82}, {0x41}}, {"", R + "A", ""}},   // truncated sequence released once a new one starts
        {{{0xFF}}, {R, ""}},
        {{{0x80, 0x80, 0x80, 0x80, 0x80}}, {R + R + R + R + R, ""}},
        {{{0xC3}}, {"", R}},
        {{{0xF8, 0x88}}, {R + R, ""}},                 // no valid lead: released at once
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.pieces), c.out);
}

TEST(UTF8StreamAssembler, AbsentOrEmptyInputChangesNothing) {
    UTF8StreamAssembler a;
    EXPECT_EQ(a.flush(), "");
    EXPECT_EQ(a.consume(Bytes{0xE2, 0x82}), "");
    EXPECT_EQ(a.consume(nullptr, 5), "");
    uint8_t b = 0xAC;
    EXPECT_EQ(a.consume(&b, 0), "");
    EXPECT_EQ(a.consume(&b, -1), "");
    EXPECT_EQ(a.carry(), (Bytes{0xE2, 0x82}));
    EXPECT_EQ(a.consume(&b, 1), "\xE2\x82\xAC");
}

// Every way of cutting a mixed text (1- to 4-byte characters and invalid
// bytes) into pieces gives the same text as decoding it whole, and the carry
// never holds more than three bytes.
TEST(UTF8StreamAssembler, EverySplitGivesTheWholeDecoding) {
    const std::string input = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFF" "b\xE2\x82" "c\x80\xF0\x9F";
    const std::string expected = text::decodeUTF8Lossy(input);
    const size_t n = input.size();
    // Each bit of the mask says whether to cut after that byte.
    for (uint32_t mask = 0; mask < (1u << (n - 1)); ++mask) {
        UTF8StreamAssembler a;
        std::string got;
        size_t from = 0;
        for (size_t i = 0; i < n; ++i) {
            if (i == n - 1 || (mask >> i) & 1) {
                got += a.consume(reinterpret_cast<const uint8_t*>(input.data() + from), std::ptrdiff_t(i + 1 - from));
                ASSERT_LE(a.carry().size(), 3u);
                from = i + 1;
            }
        }
        got += a.flush();
        ASSERT_EQ(got, expected) << "mask " << mask;
    }
}
