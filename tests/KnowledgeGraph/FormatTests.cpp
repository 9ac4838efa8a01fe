#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "engine/tkg/tkg_format.h"
#include "tests/KnowledgeGraph/ChildProcess.h"
#include "tests/KnowledgeGraph/GraphFixture.h"
#include "tests/support/TempDir.h"
#include "tkg.h"

using namespace vivirov::test;

namespace {

std::string openError(const std::string& path) {
    char err[256] = {};
    tkg_graph* g = tkg_open(path.c_str(), err, sizeof err);
    tkg_close(g);
    return g ? "opened" : err;
}

tkg::Header& headerOf(std::string& bytes) { return *reinterpret_cast<tkg::Header*>(bytes.data()); }
tkg::Node& nodeOf(std::string& bytes, size_t i) {
    return reinterpret_cast<tkg::Node*>(bytes.data() + headerOf(bytes).node_offset)[i];
}

} // namespace

TEST(GraphFormat, LayoutFollowsCapacities) {
    struct Case {
        uint64_t nodes, edges, strings, embeddings;
        uint64_t edge, emb, str, total;
    } cases[] = {
        {4096, 8192, 1048576, 0, 528384, 790528, 790528, 1839104},
        {0, 0, 0, 0, 4096, 4096, 4096, 4096},
        {1, 1, 1, 1, 8192, 12288, 16384, 20480},
    };
    for (const Case& c : cases) {
        tkg::Layout l{};
        ASSERT_TRUE(tkg::computeLayout(c.nodes, c.edges, c.strings, c.embeddings * tkg::EMBEDDING_BYTES, l));
        EXPECT_EQ(l.edge_offset, c.edge);
        EXPECT_EQ(l.embeddings_offset, c.emb);
        EXPECT_EQ(l.string_offset, c.str);
        EXPECT_EQ(l.total_size, c.total);
    }
    tkg::Layout l{};
    EXPECT_FALSE(tkg::computeLayout(UINT64_MAX / 64, 0, 0, 0, l));
}

TEST(GraphFormat, NewFileHeaderOnDisk) {
    TempDir dir;
    tkg::Store store;
    std::string err;
    ASSERT_TRUE(store.create(dir.file("g.tkg"), {4096, 8192, 1048576, 2}, err)) << err;
    store.close();
    const std::string bytes = readFile(dir.file("g.tkg"));
    ASSERT_EQ(bytes.size(), 1839104u + 4096u);
    EXPECT_EQ(std::memcmp(bytes.data(), "VIVIROV_KG_BIN\0\0", 16), 0);
    uint64_t v[14];
    std::memcpy(v, bytes.data() + 16, 8);
    EXPECT_EQ(v[0], 1u);
    std::memcpy(v, bytes.data() + 32, sizeof v);
    const uint64_t expected[14] = {4096, 528384, 790528, 794624, 4096, 8192, 1048576, 0, 3072, 0, 1843200, 0};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(v[i], expected[i]) << "field at byte " << 32 + 8 * i;
    EXPECT_EQ(bytes.find_first_not_of('\0', 128), std::string::npos) << "only the header is written";
}

TEST(GraphFormat, OpenRefusesDamagedFiles) {
    TempDir dir;
    const std::string good = dir.file("good.tkg");
    writeGraph(good, {"Alpha", "Beta", "Gamma"}, {{0, 1}, {1, 2}});
    const std::string pristine = readFile(good);
    ASSERT_EQ(openError(good), "opened");

    struct Case {
        const char* message;
        std::function<void(std::string&)> damage;
    } cases[] = {
        {"file smaller than header", [](std::string& b) { b.resize(127); }},
        {"bad magic — not a .tkg", [](std::string& b) { b[14] = 'X'; }},
        {"bad magic — not a .tkg", [](std::string& b) { b[15] = 1; }},
        {"unsupported .tkg version", [](std::string& b) { headerOf(b).version = 2; }},
        {"header total_size != file size (truncated?)", [](std::string& b) { b.append(4096, '\0'); }},
        {"header total_size != file size (truncated?)", [](std::string& b) { b.resize(b.size() - 4096); }},
        {"node or edge count exceeds capacity", [](std::string& b) { headerOf(b).node_count = 1000; }},
        {"node or edge count exceeds capacity", [](std::string& b) { headerOf(b).edge_count = 9; }},
        {"regions do not fit the file", [](std::string& b) { headerOf(b).edge_offset += 4096; }},
        {"regions do not fit the file", [](std::string& b) { headerOf(b).string_capacity = 1u << 30; }},
        {"regions do not fit the file", [](std::string& b) { headerOf(b).node_capacity = UINT64_MAX / 2; }},
        {"string usage exceeds capacity", [](std::string& b) { headerOf(b).string_used = 4097; }},
        {"node text outside the string table", [](std::string& b) { nodeOf(b, 2).title_offset = 4000; }},
        {"node text outside the string table", [](std::string& b) { nodeOf(b, 0).title_length = 0xFFFFFFFF; }},
        {"node text outside the string table",
         [](std::string& b) { nodeOf(b, 1).content_offset = 10, nodeOf(b, 1).content_length = 4090; }},
        {"title without terminating zero", [](std::string& b) { nodeOf(b, 0).title_length = 4; }},
        {"adjacency range outside the edge table", [](std::string& b) { nodeOf(b, 2).edge_count = 1; }},
        {"adjacency range outside the edge table",
         [](std::string& b) { nodeOf(b, 0).edge_list_head = 0xFFFFFFFF; }},
    };
    for (const Case& c : cases) {
        std::string bytes = pristine;
        c.damage(bytes);
        const std::string path = dir.file("bad.tkg");
        writeFile(path, bytes);
        EXPECT_EQ(openError(path), c.message);
    }
    EXPECT_EQ(openError(dir.file("missing.tkg")), "open: No such file or directory");
    EXPECT_EQ(openError(dir.path()), "open: Is a directory");
}

TEST(GraphFormat, MappingFailureIsReported) {
    TempDir dir;
    const std::string path = dir.file("huge.tkg");
    // A sparse file larger than the address space the child may use.
    writeFile(path, std::string(128, 'x'));
    ASSERT_EQ(truncate(path.c_str(), off_t(1) << 32), 0);
    const std::string out = runInChild([&] {
        rlimit limit{uint64_t(1) << 31, uint64_t(1) << 31};
        setrlimit(RLIMIT_AS, &limit);
        return openError(path);
    });
    EXPECT_EQ(out, "mmap: Cannot allocate memory");
}

TEST(GraphFormat, NeighbourFilterSetsFourBitsPerTarget) {
    // Reference bits computed independently for target 7.
    auto mix = [](uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    };
    const uint64_t C[4] = {0x9E3779B97F4A7C15ULL, 0xC37D6E4ACEB75932ULL, 0xE8C362DC1E24364FULL,
                           0x0E09576D6D91136CULL};
    TempDir dir;
    writeGraph(dir.file("g.tkg"), {"a", "b", "c", "d", "e", "f", "g", "h"}, {{0, 7}, {0, 7}});
    std::string bytes = readFile(dir.file("g.tkg"));
    const auto* filter = reinterpret_cast<const uint8_t*>(nodeOf(bytes, 0).reserved);
    uint8_t expected[64] = {};
    uint64_t h = 7;
    for (uint64_t c : C) {
        h = mix(h + c);
        expected[(h % 512) >> 3] |= uint8_t(1u << ((h % 512) & 7));
    }
    EXPECT_EQ(std::memcmp(filter, expected, 64), 0);
    const auto* empty = reinterpret_cast<const uint8_t*>(nodeOf(bytes, 1).reserved);
    EXPECT_EQ(std::count(empty, empty + 64, 0), 64);
}
