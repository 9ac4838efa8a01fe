// The tokenizer: pre-tokenisation rules, merge order, special tokens,
// detokenisation and the encode/decode round trip.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <random>

#include "VivirovKit/Support/Regex.h"
#include "tests/Tokenizer/TokenizerFixture.h"

using namespace vivirov::test;
using Pieces = std::vector<std::string>;

namespace {

const TokenizerFixture& noVocab() {
    static TokenizerFixture f{Vocab{}};
    return f;
}

// The merge loop as plainly stated: one merge per pass, the lowest rank, the
// leftmost on equal ranks, every pair rescanned each pass.
std::vector<std::string> naiveBpe(const std::string& piece, const std::map<std::string, int>& rank) {
    std::vector<std::string> syms;
    for (unsigned char c : piece) syms.push_back(byteSymbol(c));
    while (syms.size() >= 2) {
        int best = -1, bestRank = INT_MAX;
        for (size_t i = 0; i + 1 < syms.size(); ++i) {
            auto it = rank.find(syms[i] + " " + syms[i + 1]);
            if (it != rank.end() && it->second < bestRank) {
                bestRank = it->second;
                best = int(i);
            }
        }
        if (best < 0) break;
        syms[size_t(best)] += syms[size_t(best) + 1];
        syms.erase(syms.begin() + best + 1);
    }
    return syms;
}

std::string randomUtf8(std::mt19937& rng, size_t chars) {
    static const std::vector<uint32_t> pool = {'a', 'Z', ' ', ' ', '\n', '\r', '\t', '0', '7', '\'', '!', '<',
                                               '|', '>', 0x7F, 0x01, 0xE9, 0x3B1, 0x65E5, 0x3002, 0x1F600, 0xFEFF};
    std::string s;
    for (size_t i = 0; i < chars; ++i) {
        uint32_t c = rng() % 3 == 0 ? 1 + rng() % 0x10FFFF : pool[rng() % pool.size()];
        if (c >= 0xD800 && c <= 0xDFFF) c = 'x';
        s += BPETokenizer::utf8(c);
        if (rng() % 50 == 0) s += "<|im_start|>";
    }
    return s;
}

} // namespace

TEST(BPETokenizer, ByteMapMatchesTheGPT2Rule) {
    const BPETokenizer& t = noVocab().tok();
    for (int b = 0; b < 256; ++b) EXPECT_EQ(t.byte_enc[b], byteSymbol((unsigned char)b)) << b;
    EXPECT_EQ(t.byte_enc[32], "\xC4\xA0"); // U+0120
    EXPECT_EQ(t.byte_enc[10], "\xC4\x8A"); // U+010A
    EXPECT_EQ(t.byte_dec[288], 32);
    EXPECT_EQ(t.byte_dec[65], 65);
    EXPECT_EQ(t.byte_dec[32], -1);
    EXPECT_EQ(t.byte_dec[400], -1);
}

TEST(BPETokenizer, PreTokenizerCutsPiecesByClassRules) {
    const std::vector<std::pair<std::string, Pieces>> cases = {
        {"", {}},
        {"Hello world", {"Hello", " world"}},
        {"  world", {" ", " world"}},
        {"a\n\n  b", {"a", "\n\n", " ", " b"}},
        {"123", {"1", "2", "3"}},
        {" 12", {" ", "1", "2"}},
        {"I'M", {"I", "'M"}},
        {"don't", {"don", "'t"}},
        {"we'RE they'll I'd", {"we", "'RE", " they", "'ll", " I", "'d"}},
        {"'x", {"'x"}},
        {"foo!!\n\nbar", {"foo", "!!\n\n", "bar"}},
        {"x ?", {"x", " ?"}},
        {"été", {"été"}},
        {"日本語。", {"日本語。"}},
        {"\tword", {"\tword"}},
        {"\t!", {"\t", "!"}},
        {"a  \n  \n  b", {"a", "  \n  \n", " ", " b"}},
        {"end   ", {"end", "   "}},
        {"\r\nx", {"\r\n", "x"}},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(noVocab().pieces(text), expected) << text;
}

TEST(BPETokenizer, PreTokenizerAgreesWithTheQwen2PatternOnAscii) {
    vivirov::Regex pattern(R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N})"
                           R"(| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)");
    ASSERT_TRUE(pattern.isValid()) << pattern.error();
    const std::string alphabet = "aZ'sRtlLveEdM  \n\r\t\x0b\x0c!?.,;-0193\x01\x7f";
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {
        std::string s;
        size_t n = 1 + rng() % 24;
        for (size_t i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
        Pieces expected;
        for (const auto& m : pattern.allMatches(s)) expected.push_back(s.substr(m.begin, m.end - m.begin));
        ASSERT_EQ(noVocab().pieces(s), expected) << "input: " << testing::PrintToString(s);
    }
}

TEST(BPETokenizer, MergesFollowRankThenPosition) {
    Vocab v = Vocab::bytes();
    v.tokens.insert(v.tokens.end(), {"ab", "abc", "bc", "aa"});
    v.merges = {"a b", "ab c"};
    TokenizerFixture f(v);
    EXPECT_EQ(f.tok().bpe("abc"), (std::vector<int32_t>{v.id("abc")}));
    EXPECT_EQ(f.tok().bpe(""), (std::vector<int32_t>{}));

    Vocab w = Vocab::bytes();
    w.tokens.insert(w.tokens.end(), {"ab", "bc", "aa"});
    w.merges = {"b c", "a b", "a a"};
    TokenizerFixture g(w);
    EXPECT_EQ(g.tok().bpe("abc"), (std::vector<int32_t>{'a', w.id("bc")})); // rank beats position
    EXPECT_EQ(g.tok().bpe("aaa"), (std::vector<int32_t>{w.id("aa"), 'a'}));  // leftmost on a tie

    Vocab missing; // a merge whose result the vocabulary lacks
    missing.tokens = {"a", "b"};
    missing.merges = {"a b"};
    TokenizerFixture h(missing);
    EXPECT_EQ(h.tok().bpe("ab"), (std::vector<int32_t>{-1}));
    EXPECT_EQ(h.tok().bpe("ba"), (std::vector<int32_t>{1, 0}));
}

TEST(BPETokenizer, MergeOrderEqualsThePlainRescanOnRandomVocabularies) {
    std::mt19937 rng(5);
    for (int vocabRound = 0; vocabRound < 20; ++vocabRound) {
        Vocab v = Vocab::bytes();
        std::map<std::string, int> rank;
        std::vector<std::string> syms = {"a", "b", "c"};
        for (int m = 0; m < 30; ++m) {
            std::string l = syms[rng() % syms.size()], r = syms[rng() % syms.size()];
            std::string key = l + " " + r;
            if (rank.count(key)) continue;
            rank[key] = int(v.merges.size());
            v.merges.push_back(key);
            if (l.size() + r.size() < 7) syms.push_back(l + r);
            if (rng() % 4) v.tokens.push_back(l + r);
        }
        TokenizerFixture f(v);
        for (int s = 0; s < 50; ++s) {
            std::string piece;
            size_t n = 1 + rng() % 40;
            for (size_t i = 0; i < n; ++i) piece += char('a' + rng() % 3);
            std::vector<int32_t> expected;
            for (const auto& sym : naiveBpe(piece, rank)) expected.push_back(v.id(sym));
            ASSERT_EQ(f.tok().bpe(piece), expected) << piece;
        }
    }
}

TEST(BPETokenizer, SpecialTokensAreMatchedAnywhereWhenTheVocabularyHasThem) {
    Vocab v = Vocab::bytes();
    v.chain("user");
    v.tokens.push_back("<|im_start|>");
    v.tokens.push_back("<|im_end|>");
    TokenizerFixture f(v);
    const int start = v.id("<|im_start|>"), end = v.id("<|im_end|>"), user = v.id("user");
    EXPECT_EQ(f.tok().encode("<|im_start|>user"), (std::vector<int32_t>{start, user}));
    EXPECT_EQ(f.tok().encode("user<|im_end|><|im_start|>"), (std::vector<int32_t>{user, end, start}));
    EXPECT_EQ(f.tok().encode("<|im_end"), (std::vector<int32_t>{'<', '|', 'i', 'm', '_', 'e', 'n', 'd'}));
    ASSERT_EQ(f.tok().specials.size(), 2u);
    EXPECT_EQ(f.tok().specials[0].first, "<|im_start|>"); // longest first

    Vocab plain = Vocab::bytes();
    TokenizerFixture g(plain);
    std::vector<int32_t> ids = g.tok().encode("<|im_start|>");
    EXPECT_EQ(ids.size(), 12u);
    EXPECT_EQ(g.decode(ids), "<|im_start|>");
}

TEST(BPETokenizer, DetokWritesTheBytesOfOneTokenUpToTheCap) {
    Vocab v = Vocab::bytes();
    v.chain(" world");
    v.tokens.push_back("<|endoftext|>");
    v.tokens.push_back("a b");          // a literal space stands for no byte
    v.tokens.push_back("x\xC4");        // a cut-off sequence ends the walk
    v.tokens.push_back("y\xFF" "z");    // an impossible lead ends the walk
    v.tokens.push_back("\xE2\x82\xAC"); // U+20AC stands for no byte
    v.tokens.push_back("");
    TokenizerFixture f(v);
    const BPETokenizer& t = f.tok();
    const int world = v.id("\xC4\xA0world");
    ASSERT_GE(world, 0);
    char buf[64];
    EXPECT_EQ(std::string(buf, t.detok_into(world, buf, sizeof buf)), " world");
    EXPECT_EQ(std::string(buf, t.detok_into(world, buf, 3)), " wo");
    EXPECT_EQ(t.detok_into(world, buf, 0), 0u);
    EXPECT_EQ(t.detok_into(-1, buf, sizeof buf), 0u);
    EXPECT_EQ(t.detok_into(int32_t(v.tokens.size()), buf, sizeof buf), 0u);
    EXPECT_EQ(std::string(buf, t.detok_into(v.id("<|endoftext|>"), buf, sizeof buf)), "<|endoftext|>");
    EXPECT_EQ(std::string(buf, t.detok_into(v.id("a b"), buf, sizeof buf)), "ab");
    EXPECT_EQ(std::string(buf, t.detok_into(v.id("x\xC4"), buf, sizeof buf)), "x");
    EXPECT_EQ(std::string(buf, t.detok_into(v.id("y\xFFz"), buf, sizeof buf)), "y");
    EXPECT_EQ(t.detok_into(v.id("\xE2\x82\xAC"), buf, sizeof buf), 0u);
    EXPECT_EQ(t.detok_into(v.id(""), buf, sizeof buf), 0u);
}

TEST(BPETokenizer, AFileWithoutTokensEncodesToMissingIdsAndDecodesToNothing) {
    const BPETokenizer& t = noVocab().tok();
    EXPECT_EQ(t.encode("hi"), (std::vector<int32_t>{-1, -1}));
    EXPECT_TRUE(t.encode("").empty());
    char buf[8];
    EXPECT_EQ(t.detok_into(0, buf, sizeof buf), 0u);
}

TEST(BPETokenizer, EncodeThenDecodeGivesAnyValidUtf8Back) {
    Vocab v = Vocab::bytes();
    for (const char* w : {"Ġthe", "the", "Ġand", "ing", "Ġworld", "ĠĠ", "ĠĠĠĠ", "ĊĊ"}) {
        std::string word;
        // Words are given in byte-encoded form; chain() takes raw text.
        for (const char* p = w; *p;) {
            if (std::string(p, 2) == "Ġ") { word += ' '; p += 2; }
            else if (std::string(p, 2) == "Ċ") { word += '\n'; p += 2; }
            else word += *p++;
        }
        v.chain(word);
    }
    v.chain("日本");
    v.tokens.push_back("<|im_start|>");
    TokenizerFixture f(v);
    std::mt19937 rng(3);
    for (int round = 0; round < 400; ++round) {
        std::string text = randomUtf8(rng, 1 + rng() % 80);
        std::vector<int32_t> ids = f.tok().encode(text);
        for (int32_t id : ids) ASSERT_GE(id, 0);
        ASSERT_EQ(f.decode(ids), text);
    }
    const std::string words = " the and the world\n\n  ing日本";
    EXPECT_LT(f.tok().encode(words).size(), words.size() / 2);
    EXPECT_EQ(f.decode(f.tok().encode(words)), words);
}

TEST(BPETokenizer, LongRunsOfOneClassStayFastAndExact) {
    // Doubling merges over a run of one letter: a rescan of every pair after
    // each merge would take hours on this input; the result must still equal
    // the plain rescan's (checked on a shorter run).
    Vocab v = Vocab::bytes();
    std::map<std::string, int> rank;
    std::string sym = "a";
    for (int k = 0; k < 12; ++k) {
        rank[sym + " " + sym] = int(v.merges.size());
        v.merges.push_back(sym + " " + sym);
        sym += sym;
        v.tokens.push_back(sym);
    }
    TokenizerFixture f(v);
    std::string shortRun(3000 + 7, 'a');
    std::vector<int32_t> expected;
    for (const auto& s : naiveBpe(shortRun, rank)) expected.push_back(v.id(s));
    EXPECT_EQ(f.tok().encode(shortRun), expected);

    std::string run(1 << 20, 'a');
    run += std::string(1 << 18, ' ') + "b";
    std::vector<int32_t> ids = f.tok().encode(run);
    EXPECT_EQ(ids.front(), v.id(std::string(4096, 'a')));
    EXPECT_EQ(ids.size(), 256u + (1u << 18) + 1u);
    EXPECT_TRUE(f.decode(ids) == run);
}
