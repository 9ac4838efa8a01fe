// The GGUF reader against files written by the test writer: layout rules,
// metadata conversions, tensor spans, and every failure a file can cause.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "engine/vm_cabi/gguf_file.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/TempDir.h"

using vivirov::test::GGUFWriter;
using vivirov::test::TempDir;

namespace {

std::string u32b(uint32_t v) { return GGUFWriter::le(&v, 4); }
std::string u64b(uint64_t v) { return GGUFWriter::le(&v, 8); }

// A small but complete model-like file: metadata of several kinds, a token
// list and tensors of known types.
GGUFWriter sampleModel() {
    GGUFWriter w;
    w.str("general.architecture", "qwen2")
        .u32("qwen2.block_count", 2)
        .f32("qwen2.rope.freq_base", 10000.0f)
        .strings("tokenizer.ggml.tokens", {"a", "b", "ab", "Ġ"})
        .strings("tokenizer.ggml.merges", {"a b"})
        .tensorF32("token_embd.weight", {2, 4}, {1, 2, 3, 4, 5, 6, 7, 8})
        .tensor("blk.0.ffn_up.weight", {32, 1}, GGUFWriter::GQ8_0, std::string(34, '\x01'))
        .tensorF32("output_norm.weight", {2}, {0.5f, -0.5f});
    return w;
}

struct Failure {
    const char* name;
    std::function<std::string()> bytes;
    std::string text;
    bool outOfRange;
};

// Bytes as a file in memory (a real descriptor, no disk writes), so that
// thousands of damaged files stay quick.
class MemFile {
public:
    MemFile() : fd_(memfd_create("gguf_test", MFD_CLOEXEC)) {}
    ~MemFile() { close(fd_); }
    std::string put(const std::string& bytes) {
        if (ftruncate(fd_, 0) != 0 || pwrite(fd_, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size())) ADD_FAILURE();
        return "/proc/self/fd/" + std::to_string(fd_);
    }

private:
    int fd_;
};

std::string header(uint32_t version, uint64_t tensors, uint64_t kvs, const char* magic = "GGUF") {
    return std::string(magic, 4) + u32b(version) + u64b(tensors) + u64b(kvs);
}

} // namespace

TEST(GGUFFile, EveryFailureHasAFileThatProducesItsText) {
    const std::vector<Failure> cases = {
        {"bad magic", [] { return header(3, 0, 0, "GGML"); }, "GGUF: bad magic (not 'GGUF'/'CGUF')", false},
        {"version 1", [] { return header(1, 0, 0); }, "GGUF: unsupported version", false},
        {"version 4", [] { return header(4, 0, 0); }, "GGUF: unsupported version", false},
        {"header cut before the counts", [] { return header(9, 0, 0).substr(0, 10); }, "GGUF: read past EOF", true},
        {"magic only", [] { return std::string("GGUF"); }, "GGUF: read past EOF", true},
        {"value cut short", [] { return header(3, 0, 1) + GGUFWriter::str8("k") + u32b(4) + "\x01\x02"; },
         "GGUF: read past EOF", true},
        {"string longer than the file",
         [] { return header(3, 0, 1) + u64b(100) + "short"; }, "GGUF: string runs past EOF", true},
        {"string length near 2^64",
         [] { return header(3, 0, 1) + u64b(~0ull - 3) + std::string(16, 'x'); }, "GGUF: string runs past EOF", true},
        {"unknown value type",
         [] { return header(3, 0, 1) + GGUFWriter::str8("k") + u32b(13) + u64b(0); },
         "GGUF: unknown metadata value type", false},
        {"unknown element type in a skipped array",
         [] { return header(3, 0, 1) + GGUFWriter::str8("k") + u32b(9) + u32b(99) + u64b(1) + u64b(0); },
         "GGUF: unknown metadata value type", false},
        {"tensor past the end",
         [] { return GGUFWriter().tensorInfo("far", {1}, 99, 1 << 20).bytes(); },
         "GGUF: tensor 'far' data (1048640+18446744073708503040) exceeds file size (64)", true},
        {"the tensor before the offending offset is named",
         [] {
             return GGUFWriter().tensorInfo("near", {1}, 99, 0).tensorInfo("far", {1}, 99, 4096)
                 .dataSize(64).bytes();
         },
         "GGUF: tensor 'near' data (96+4096) exceeds file size (160)", true},
        // Hostile sizes: each must end in an error, never a wrapped cursor or a
        // huge allocation.
        {"skipped string length wraps the cursor",
         [] { return header(3, 0, 2) + GGUFWriter::str8("s") + u32b(8) + u64b(~0ull - 10) + "pad"; },
         "GGUF: read past EOF", true},
        {"metadata count beyond the file", [] { return header(3, 0, 1ull << 60); }, "GGUF: read past EOF", true},
        {"tensor count beyond the file", [] { return header(3, 1ull << 60, 0); }, "GGUF: read past EOF", true},
        {"token count beyond the file",
         [] { return header(3, 0, 1) + GGUFWriter::str8("tokenizer.ggml.tokens") + u32b(9) + u32b(8) + u64b(1ull << 61); },
         "GGUF: read past EOF", true},
        {"skipped u8 array beyond the file",
         [] { return header(3, 0, 1) + GGUFWriter::str8("scores") + u32b(9) + u32b(0) + u64b(1ull << 62); },
         "GGUF: read past EOF", true},
        {"dimension count beyond the file",
         [] { return header(3, 1, 0) + GGUFWriter::str8("t") + u32b(0xFFFFFFFFu); }, "GGUF: read past EOF", true},
        {"arrays nested without end",
         [] {
             std::string v;
             for (int i = 0; i < 40; ++i) v += u32b(9) + u64b(1);
             return header(3, 0, 1) + GGUFWriter::str8("deep") + u32b(9) + v + u32b(0) + u64b(0);
         },
         "GGUF: metadata arrays nested too deeply", false},
        {"alignment not a power of two", [] { return GGUFWriter().alignment(48).bytes(); },
         "GGUF: bad alignment (not a power of two)", false},
        {"alignment zero", [] { return GGUFWriter().alignment(0).bytes(); },
         "GGUF: bad alignment (not a power of two)", false},
        {"last tensor shorter than its shape",
         [] { return GGUFWriter().tensor("w", {100}, GGUFWriter::GF32, std::string(16, '\0')).bytes(); },
         "GGUF: tensor 'w' needs 400 bytes, file holds 16", true},
        {"shape whose byte size overflows",
         [] { return GGUFWriter().tensor("w", {1ull << 40, 1ull << 40}, GGUFWriter::GF32, "x").bytes(); },
         "GGUF: tensor 'w' needs more bytes, file holds 1", true},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.write("f.gguf", c.bytes());
        try {
            GGUFFile f(path);
            ADD_FAILURE() << "opened";
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(c.outOfRange);
            EXPECT_EQ(e.what(), c.text);
        } catch (const std::runtime_error& e) {
            EXPECT_FALSE(c.outOfRange);
            EXPECT_EQ(e.what(), c.text);
        }
    }
}

TEST(GGUFFile, OpenAndMapFailuresNameTheirCause) {
    TempDir dir;
    std::string missing = dir.file("none.gguf");
    try {
        GGUFFile f(missing);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), "GGUF: open failed: " + missing);
    }
    std::string empty = dir.write("empty.gguf", "");
    try {
        GGUFFile f(empty);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "GGUF: mmap failed");
    }
}

TEST(GGUFFile, EveryTruncationOrCorruptionFailsCleanly) {
    std::string good = sampleModel().bytes();
    MemFile file;
    // Cut at every length: each prefix must fail with a reader error (the
    // complete header and tables are needed, and the last tensor must fit).
    for (size_t n = 0; n < good.size(); ++n) {
        std::string path = file.put(good.substr(0, n));
        try {
            GGUFFile f(path);
            ADD_FAILURE() << "parsed at " << n;
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind("GGUF: ", 0), 0u) << e.what();
        }
    }
    // Random byte damage: parse or fail, never crash.
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        std::string bad = good;
        int flips = 1 + int(rng() % 4);
        for (int i = 0; i < flips; ++i) bad[rng() % bad.size()] = char(rng());
        std::string path = file.put(bad);
        try {
            GGUFFile f(path);
            for (const auto& t : f.tensors) {
                ASSERT_GE(t.data, f.base);
                ASSERT_LE(uint64_t(t.data - f.base) + t.nbytes, f.size);
            }
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind("GGUF: ", 0), 0u) << e.what();
        }
    }
}

TEST(GGUFFile, ReadsMetadataTokensAndTensors) {
    TempDir dir;
    std::string path = sampleModel().write(dir.file("m.gguf"));
    GGUFFile f(path);
    EXPECT_EQ(f.kv.at("qwen2.block_count"), 2.0);
    EXPECT_EQ(f.kv.at("qwen2.rope.freq_base"), 10000.0);
    EXPECT_EQ(f.kv.count("general.architecture"), 0u);
    EXPECT_EQ(f.tokens, (std::vector<std::string>{"a", "b", "ab", "Ġ"}));
    EXPECT_EQ(f.merges, (std::vector<std::string>{"a b"}));
    ASSERT_EQ(f.tensors.size(), 3u);
    const GGUFTensor* e = f.find("token_embd.weight");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->dims, (std::vector<uint64_t>{2, 4}));
    EXPECT_EQ(e->type, 0u);
    EXPECT_EQ(e->data, f.base + f.data_start + e->offset);
    EXPECT_EQ(f.data_start % 32, 0u);
    float values[8];
    std::memcpy(values, e->data, sizeof values);
    EXPECT_EQ(values[7], 8.0f);
    EXPECT_EQ(f.find("blk.0.ffn_up.weight")->type, 8u);
    EXPECT_EQ(f.find("nothing"), nullptr);
}

TEST(GGUFFile, CGUFMagicAndVersionTwoParseLikeGGUF) {
    TempDir dir;
    GGUFFile a(sampleModel().write(dir.file("a.gguf")));
    GGUFFile c(sampleModel().magic("CGUF").write(dir.file("c.gguf")));
    GGUFFile v2(sampleModel().version(2).write(dir.file("v2.gguf")));
    for (const GGUFFile* f : {&c, &v2}) {
        EXPECT_EQ(f->kv, a.kv);
        EXPECT_EQ(f->tokens, a.tokens);
        ASSERT_EQ(f->tensors.size(), a.tensors.size());
        for (size_t i = 0; i < a.tensors.size(); ++i) {
            EXPECT_EQ(f->tensors[i].name, a.tensors[i].name);
            EXPECT_EQ(f->tensors[i].offset, a.tensors[i].offset);
            EXPECT_EQ(f->tensors[i].nbytes, a.tensors[i].nbytes);
        }
    }
}

TEST(GGUFFile, ScalarMetadataConvertsWithItsSignedness) {
    GGUFWriter w;
    w.u8("u8", 255).i8("i8", -1).u16("u16", 65535).i16("i16", -2).u32("u32", 4000000000u)
        .i32("i32", -3).f32("f32", 1.5f).boolean("yes", true).boolean("no", false)
        .u64("u64", 1ull << 40).i64("i64", -5).f64("f64", 0.1).str("text", "hello")
        .i32("twice", 1).i32("twice", 2);
    TempDir dir;
    GGUFFile f(w.write(dir.file("kv.gguf")));
    const std::vector<std::pair<const char*, double>> expected = {
        {"u8", 255.0}, {"i8", -1.0}, {"u16", 65535.0}, {"i16", -2.0}, {"u32", 4000000000.0},
        {"i32", -3.0}, {"f32", 1.5}, {"yes", 1.0}, {"no", 0.0}, {"u64", 1099511627776.0},
        {"i64", -5.0}, {"f64", 0.1}, {"twice", 2.0}};
    for (const auto& [key, value] : expected) EXPECT_EQ(f.kv.at(key), value) << key;
    EXPECT_EQ(f.kv.count("text"), 0u);
    EXPECT_EQ(f.kv.size(), expected.size());
}

TEST(GGUFFile, OnlyAU32AlignmentMovesTheDataStart) {
    TempDir dir;
    GGUFFile a(GGUFWriter().alignment(64).str("pad", "0123456789abcdefxyz").tensorF32("t", {1}, {3.0f}).write(dir.file("a.gguf")));
    EXPECT_EQ(a.alignment, 64u);
    EXPECT_EQ(a.data_start, (a.cursor + 63) & ~63ull);
    EXPECT_NE(a.data_start, (a.cursor + 31) & ~31ull); // 32 would have given another start
    EXPECT_EQ(a.kv.count("general.alignment"), 0u);
    float v;
    std::memcpy(&v, a.find("t")->data, 4);
    EXPECT_EQ(v, 3.0f);

    GGUFFile b(GGUFWriter().u64("general.alignment", 64).write(dir.file("b.gguf")));
    EXPECT_EQ(b.alignment, 32u);
    EXPECT_EQ(b.kv.at("general.alignment"), 64.0);
}

TEST(GGUFFile, TokenizerListsTakeStringArraysOnlyAndAppendOnRepeat) {
    uint32_t i32t = GGUFWriter::I32, f32t = GGUFWriter::F32;
    uint64_t two = 2;
    std::string ints = GGUFWriter::le(&i32t, 4) + GGUFWriter::le(&two, 8) + std::string(8, '\0');
    std::string floats = GGUFWriter::le(&f32t, 4) + GGUFWriter::le(&two, 8) + std::string(8, '\0');
    TempDir dir;
    GGUFFile a(GGUFWriter().raw("tokenizer.ggml.tokens", GGUFWriter::Array, ints)
                   .raw("tokenizer.ggml.scores", GGUFWriter::Array, floats)
                   .u32("after", 7)
                   .write(dir.file("a.gguf")));
    EXPECT_TRUE(a.tokens.empty());
    EXPECT_EQ(a.kv.at("after"), 7.0);
    EXPECT_EQ(a.kv.count("tokenizer.ggml.scores"), 0u);

    GGUFFile b(GGUFWriter().strings("tokenizer.ggml.tokens", {"x"}).strings("tokenizer.ggml.tokens", {"y", "z"})
                   .write(dir.file("b.gguf")));
    EXPECT_EQ(b.tokens, (std::vector<std::string>{"x", "y", "z"}));
}

TEST(GGUFFile, NestedArraysAreSkipped) {
    uint32_t arr = GGUFWriter::Array, u16t = GGUFWriter::U16, strt = GGUFWriter::String;
    uint64_t two = 2;
    std::string inner = GGUFWriter::le(&u16t, 4) + GGUFWriter::le(&two, 8) + std::string(4, '\x05');
    std::string innerStrings = GGUFWriter::le(&strt, 4) + GGUFWriter::le(&two, 8) + GGUFWriter::str8("p") +
                               GGUFWriter::str8("qr");
    std::string outer = GGUFWriter::le(&arr, 4) + GGUFWriter::le(&two, 8) + inner + innerStrings;
    TempDir dir;
    GGUFFile f(GGUFWriter().raw("nested", GGUFWriter::Array, outer).u8("after", 9).write(dir.file("n.gguf")));
    EXPECT_EQ(f.kv.at("after"), 9.0);
}

TEST(GGUFFile, TensorSpansComeFromTheLayoutNotTheTypes) {
    TempDir dir;
    GGUFFile f(GGUFWriter()
                   .tensorInfo("b", {8}, GGUFWriter::GF16, 4096)
                   .tensorInfo("a", {1}, GGUFWriter::GF32, 0)
                   .tensorInfo("c", {256}, GGUFWriter::GQ4_K, 12288)
                   .dataSize(16384)
                   .write(dir.file("s.gguf")));
    EXPECT_EQ(f.find("a")->nbytes, 4096u);
    EXPECT_EQ(f.find("b")->nbytes, 8192u);
    EXPECT_EQ(f.find("c")->nbytes, 4096u);
    EXPECT_EQ(f.tensors[0].name, "b"); // file order kept

    // A last tensor exactly at the end holds nothing and passes when its shape needs nothing.
    GGUFFile g(GGUFWriter().tensorInfo("a", {4}, GGUFWriter::GF32, 0).tensorInfo("end", {0}, GGUFWriter::GF32, 64)
                   .dataSize(64).write(dir.file("e.gguf")));
    EXPECT_EQ(g.find("end")->nbytes, 0u);
    EXPECT_EQ(g.find("a")->nbytes, 64u);
}

TEST(GGUFFile, ARepeatedTensorNameKeepsBothAndIndexesTheLater) {
    TempDir dir;
    GGUFFile f(GGUFWriter().tensorF32("w", {1}, {1.0f}).tensorF32("w", {1}, {2.0f}).write(dir.file("d.gguf")));
    ASSERT_EQ(f.tensors.size(), 2u);
    EXPECT_EQ(f.tensor_index.at("w"), 1u);
    float v;
    std::memcpy(&v, f.find("w")->data, 4);
    EXPECT_EQ(v, 2.0f);
}

TEST(GGUFFile, OpeningTouchesNoWeightPage) {
    // The data section is a hole: had the reader touched it, its pages would
    // be in memory.
    TempDir dir;
    std::string path = GGUFWriter().tensorInfo("w", {16u << 20}, GGUFWriter::GF32, 0).write(dir.file("big.gguf"));
    const uint64_t total = 4096 + (64ull << 20);
    ASSERT_EQ(::truncate(path.c_str(), off_t(total)), 0);
    GGUFFile f(path);
    const GGUFTensor* w = f.find("w");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->nbytes, total - f.data_start);
    long page = sysconf(_SC_PAGESIZE);
    uint64_t first = (f.data_start + uint64_t(page) - 1) / uint64_t(page) * uint64_t(page);
    size_t pages = size_t((f.size - first) / uint64_t(page));
    std::vector<unsigned char> resident(pages);
    ASSERT_EQ(::mincore(const_cast<uint8_t*>(f.base) + first, pages * size_t(page), resident.data()), 0);
    size_t touched = 0;
    for (unsigned char r : resident) touched += r & 1;
    EXPECT_EQ(touched, 0u);
}
