// om2 pack files through both readers: a round trip, exact half widening,
// the ignored header bytes, and a table of broken packs that both readers
// refuse (headers claiming more than the file holds are refused before any
// buffer is sized from them).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/vm_cabi_v2/om2_pack.h"
#include "tests/support/Om2Writer.h"
#include "tests/support/TempDir.h"

using namespace vm::apex;
using vivirov::test::Om2Writer;
using vivirov::test::TempDir;

namespace {

using Reader = bool (*)(const std::string&, Om2Pack&);
const Reader kReaders[] = {load_om2_file_uncached, load_om2_file};

} // namespace

TEST(Om2Pack, BothReadersRoundTripAPackWithIgnoredHeaderBytes) {
    TempDir dir;
    Om2Writer w = Om2Writer::random(5, 7, 3, 2, 42);
    w.layer = 3;
    w.expert = 17;
    w.group = 0; // means 32
    w.magicTail = 0xBEEF;
    w.word8 = 0xFFFFFFFF;
    w.tag = 0x0102030405060708ULL;
    w.U[0] = 65504.0f;      // largest half
    w.U[1] = 5.960464e-08f; // smallest subnormal half
    w.U[2] = -0.0f;
    const std::string path = w.write(dir.file("gate_L03_E017.om2"), -1);
    for (Reader read : kReaders) {
        Om2Pack p;
        ASSERT_TRUE(read(path, p));
        EXPECT_EQ(p.layer, 3);
        EXPECT_EQ(p.expert, 17);
        EXPECT_EQ(p.group, 32);
        EXPECT_EQ(p.tag[0], 0x08);
        EXPECT_EQ(p.U[0], 65504.0f);
        EXPECT_EQ(p.U[1], 5.960464477539063e-08f);
        EXPECT_TRUE(std::signbit(p.U[2]));
        EXPECT_EQ(p.S, w.S);
        EXPECT_EQ(p.scales, w.scales);
        EXPECT_EQ(std::vector<int8_t>(p.R.begin(), p.R.end()), w.R);
        EXPECT_EQ(p.bytes(), 4u * (15 + 3 + 21 + 2) + 35u);
    }
}

TEST(Om2Pack, BrokenPacksAreRefusedByBothReaders) {
    TempDir dir;
    const Om2Writer good = Om2Writer::random(4, 6, 2, 1, 9);
    const int64_t full = int64_t(good.bytes().size());
    struct Case {
        const char* name;
        Om2Writer w;
        int64_t keep;
    };
    std::vector<Case> cases;
    auto with = [&](const char* name, auto change, int64_t keep = -1) {
        Om2Writer w = good;
        change(w);
        cases.push_back({name, w, keep});
    };
    with("rank 0", [](Om2Writer& w) { w.rank = 0; w.U.clear(); w.V.clear(); w.S.clear(); });
    with("header cols above what V and R hold", [](Om2Writer& w) { w.headerCols = 7; });
    with("truncated inside R", [](Om2Writer&) {}, full - 1);
    with("truncated inside U", [](Om2Writer&) {}, 60);
    with("header only", [](Om2Writer&) {}, 48);
    with("shorter than a header", [](Om2Writer&) {}, 30);
    with("empty file", [](Om2Writer&) {}, 0);
    with("huge rows and rank", [](Om2Writer& w) { w.headerRows = 0xFFFFFFFF; w.headerRank = 0xFFFFFFFF; });
    with("huge scale count", [](Om2Writer& w) { w.headerScales = 0x7FFFFFFF; });
    cases.push_back({"wrong magic", good, -1});
    std::string bad = good.bytes();
    bad[5] = '3';

    // A reader that sized buffers from the forged headers would throw
    // length_error or bad_alloc here instead of answering false.
    for (Case& c : cases) {
        const std::string path = dir.file("bad.om2");
        if (std::string(c.name) == "wrong magic")
            dir.write("bad.om2", bad);
        else
            c.w.write(path, c.keep);
        for (Reader read : kReaders) {
            Om2Pack p;
            EXPECT_FALSE(read(path, p)) << c.name;
        }
    }
    Om2Pack ok;
    EXPECT_TRUE(load_om2_file(good.write(dir.file("ok.om2")), ok));
    Om2Pack missing;
    EXPECT_FALSE(load_om2_file_uncached(dir.file("nope.om2"), missing));
}

TEST(Om2Pack, KeyFoldsTheProjectionLetter) {
    EXPECT_EQ(om2_pack_key(3, 5, 'U'), om2_pack_key(3, 5, 'u'));
    EXPECT_EQ(om2_pack_key(3, 5, 'u'), (uint64_t(3) << 32) | (uint64_t(5) << 8) | 'u');
    EXPECT_NE(om2_pack_key(3, 5, 'g'), om2_pack_key(3, 5, 'd'));
}

namespace {

// Whether the file's first page is in the page cache.
bool firstPageCached(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    struct stat st {};
    ::fstat(fd, &st);
    void* map = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> vec((size_t(st.st_size) + page - 1) / page);
    ::mincore(map, size_t(st.st_size), vec.data());
    ::munmap(map, size_t(st.st_size));
    ::close(fd);
    return vec[0] & 1;
}

void writeCold(const Om2Writer& w, const std::string& path) {
    w.write(path);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

} // namespace

// The direct reader reads files up to 64 MiB whole and drops their pages from
// the page cache; a larger file goes through the stream reader, whose pages
// stay cached.
TEST(Om2Pack, FilesUpTo64MiBAreReadDirectlyLargerOnesThroughTheStream) {
    TempDir dir;
    Om2Writer w = Om2Writer::random(16, 16, 4, 1, 5);
    const uint64_t body = w.bytes().size();
    w.trailing = kOm2DirectReadLimit - body;
    const std::string exact = dir.file("exact.om2"), over = dir.file("over.om2");
    writeCold(w, exact);
    w.trailing += 1;
    writeCold(w, over);
    Om2Pack a, b;
    ASSERT_TRUE(load_om2_file_uncached(exact, a));
    ASSERT_TRUE(load_om2_file_uncached(over, b));
    EXPECT_EQ(a.U, b.U);
    EXPECT_FALSE(firstPageCached(exact));
    EXPECT_TRUE(firstPageCached(over));
}
