#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "engine/tkg/tkg_store.h"
#include "tests/KnowledgeGraph/ChildProcess.h"
#include "tests/KnowledgeGraph/GraphFixture.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;

namespace {

std::string titleOf(const tkg::Store& s, uint64_t id) {
    const tkg::Node& n = s.nodes()[id];
    return std::string(s.strings() + n.title_offset, n.title_length);
}

std::string contentOf(const tkg::Store& s, uint64_t id) {
    const tkg::Node& n = s.nodes()[id];
    return std::string(s.strings() + n.content_offset, n.content_length);
}

int64_t addNode(tkg::Store& s, const std::string& title, const std::string& content = "") {
    std::string err;
    std::unique_lock guard(s.lock);
    return s.addNode_unlocked(title, content, tkg::NODE_NOTE, 0, err);
}

} // namespace

TEST(GraphStore, GrowingTheNodeTableMovesEveryRegionAndKeepsTheData) {
    TempDir dir;
    tkg::Store s;
    std::string err;
    ASSERT_TRUE(s.create(dir.file("g.tkg"), {4096, 8192, 1048576, 0}, err));
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(addNode(s, "n" + std::to_string(i), i % 2 ? "body" : ""), i);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(s.addEdge(i, 4095 - i, 1.0f, 0, uint32_t(i), err));
    const tkg::Header before = *s.header();

    ASSERT_EQ(addNode(s, "n4096"), 4096);
    const tkg::Header& after = *s.header();
    EXPECT_EQ(after.node_capacity, 8192u);
    EXPECT_EQ(after.edge_offset, before.edge_offset + 524288);
    EXPECT_EQ(after.embeddings_offset, before.embeddings_offset + 524288);
    EXPECT_EQ(after.string_offset, before.string_offset + 524288);
    EXPECT_EQ(after.total_size, before.total_size + 524288);
    EXPECT_EQ(after.edge_capacity, 8192u);
    EXPECT_EQ(after.string_capacity, 1048576u);
    EXPECT_EQ(s.length, after.total_size);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("g.tkg").c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), after.total_size);
    for (int i = 0; i <= 4096; ++i) {
        ASSERT_EQ(titleOf(s, i), "n" + std::to_string(i));
        ASSERT_EQ(contentOf(s, i), i % 2 && i < 4096 ? "body" : "");
    }
    for (int i = 0; i < 100; ++i) {
        const tkg::Edge& e = s.edges()[i];
        ASSERT_EQ(e.source_id, uint64_t(i));
        ASSERT_EQ(e.target_id, uint64_t(4095 - i));
        ASSERT_EQ(e.created_at, uint32_t(i));
    }
}

TEST(GraphStore, TablesGrowFromZeroByDoubling) {
    TempDir dir;
    tkg::Store s;
    std::string err;
    ASSERT_TRUE(s.create(dir.file("g.tkg"), {0, 0, 0, 0}, err));
    std::vector<uint64_t> nodeCaps, edgeCaps;
    for (int i = 0; i < 3; ++i) {
        addNode(s, "x");
        nodeCaps.push_back(s.header()->node_capacity);
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(s.addEdge(0, 1, 1.0f, 0, 0, err));
        edgeCaps.push_back(s.header()->edge_capacity);
    }
    EXPECT_EQ(nodeCaps, (std::vector<uint64_t>{1, 2, 4}));
    EXPECT_EQ(edgeCaps, (std::vector<uint64_t>{1, 2, 4}));
    EXPECT_EQ(titleOf(s, 2), "x");
}

TEST(GraphStore, StringsAndEdgeChecks) {
    TempDir dir;
    tkg::Store s;
    std::string err;
    ASSERT_TRUE(s.create(dir.file("g.tkg"), {4, 4, 64, 0}, err));
    addNode(s, "");
    EXPECT_EQ(s.header()->string_used, 1u) << "an empty title still takes its zero byte";
    addNode(s, "T", "");
    EXPECT_EQ(s.nodes()[1].content_offset, 0u);
    EXPECT_EQ(s.nodes()[1].content_length, 0u);
    EXPECT_EQ(s.header()->string_used, 3u);
    addNode(s, "long", std::string(100, 'c'));
    EXPECT_EQ(s.header()->string_capacity, 128u) << "twice the capacity when that suffices";
    EXPECT_EQ(contentOf(s, 2), std::string(100, 'c'));

    EXPECT_FALSE(s.addEdge(0, s.header()->node_count, 1.0f, 0, 0, err));
    EXPECT_EQ(err, "edge endpoint out of range");
    EXPECT_FALSE(s.addEdge(uint64_t(1) << 32, 0, 1.0f, 0, 0, err)) << "ids compare as 64-bit values";
    EXPECT_EQ(s.header()->edge_count, 0u);
}

TEST(GraphStore, FinalizeSortsEdgesStablyBySource) {
    TempDir dir;
    tkg::Store s;
    std::string err;
    ASSERT_TRUE(s.create(dir.file("g.tkg"), {16, 16, 4096, 0}, err));
    for (int i = 0; i < 10; ++i) addNode(s, std::to_string(i));
    // Leftover bytes in the filter area of a note are cleared.
    std::memset(s.nodes()[5].reserved, 0xAB, 64);
    for (auto [a, b] : {std::pair{3, 1}, {0, 7}, {3, 4}, {0, 2}, {0, 9}})
        ASSERT_TRUE(s.addEdge(a, b, 1.0f, 0, 0, err));
    ASSERT_TRUE(s.finalizeAdjacency(err));
    const tkg::Node* n = s.nodes();
    EXPECT_EQ(n[0].edge_list_head, 0u);
    EXPECT_EQ(n[0].edge_count, 3u);
    std::vector<uint64_t> targets;
    for (uint32_t i = 0; i < 3; ++i) targets.push_back(s.edges()[i].target_id);
    EXPECT_EQ(targets, (std::vector<uint64_t>{7, 2, 9}));
    EXPECT_EQ(n[1].edge_list_head, 3u) << "a node without edges starts where its successors do";
    EXPECT_EQ(n[1].edge_count, 0u);
    EXPECT_EQ(n[3].edge_list_head, 3u);
    EXPECT_EQ(n[3].edge_count, 2u);
    EXPECT_EQ(s.edges()[3].target_id, 1u);
    EXPECT_EQ(s.edges()[4].target_id, 4u);
    EXPECT_EQ(n[9].edge_list_head, 5u);
    const auto* filter = reinterpret_cast<const uint8_t*>(n[5].reserved);
    EXPECT_EQ(std::count(filter, filter + 64, 0), 64);
    EXPECT_EQ(s.header()->flags, 1u);
}

TEST(GraphStore, FinalizeEdgeCases) {
    TempDir dir;
    tkg::Store empty;
    std::string err;
    ASSERT_TRUE(empty.create(dir.file("e.tkg"), {4, 4, 64, 0}, err));
    ASSERT_TRUE(empty.finalizeAdjacency(err));
    EXPECT_EQ(empty.header()->flags, 0u) << "a graph without nodes is left alone";

    tkg::Store s;
    ASSERT_TRUE(s.create(dir.file("g.tkg"), {4, 4, 64, 0}, err));
    addNode(s, "a");
    addNode(s, "b");
    ASSERT_TRUE(s.addEdge(0, 1, 1.0f, 0, 0, err));
    s.edges()[0].source_id = 9; // damaged after the fact
    const std::string before(reinterpret_cast<char*>(s.base), s.length);
    EXPECT_FALSE(s.finalizeAdjacency(err));
    EXPECT_EQ(err, "edge source out of range during finalize");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s.base), s.length), before);
}

TEST(GraphStore, CreateTruncatesAnExistingFile) {
    TempDir dir;
    const std::string path = dir.write("g.tkg", std::string(100000, 'z'));
    tkg::Store s;
    std::string err;
    ASSERT_TRUE(s.create(path, {1, 1, 1, 0}, err));
    s.close();
    const std::string bytes = readFile(path);
    EXPECT_EQ(bytes.size(), 16384u);
    EXPECT_EQ(bytes.find('z'), std::string::npos);
}

TEST(GraphStore, FailedGrowthLeavesFileAndMappingAsTheyWere) {
    TempDir dir;
    const std::string path = dir.file("g.tkg");
    const std::string out = runInChild([&]() -> std::string {
        tkg::Store s;
        std::string err;
        if (!s.create(path, {32, 2, 4096, 0}, err)) return "create: " + err;
        addNode(s, "first", "kept");
        addNode(s, "second");
        while (s.header()->node_count < 32) addNode(s, "n");
        s.addEdge(0, 1, 1.0f, 0, 0, err);
        const std::string before(reinterpret_cast<char*>(s.base), s.length);
        uint8_t* base = s.base;
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{s.length, s.length};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string result;
        {
            std::unique_lock guard(s.lock);
            if (s.addNode_unlocked("third", "", tkg::NODE_NOTE, 0, err) != -1) result += "node added; ";
        }
        result += err;
        if (s.base != base || std::string(reinterpret_cast<char*>(s.base), s.length) != before)
            result += "; mapping changed";
        if (titleOf(s, 0) != "first" || contentOf(s, 0) != "kept") result += "; data lost";
        return result;
    });
    EXPECT_EQ(out, "ftruncate grow: File too large");
    tkg::Store reopened;
    std::string err;
    ASSERT_TRUE(reopened.open(path, err)) << err;
    EXPECT_EQ(reopened.header()->node_count, 32u);
    EXPECT_EQ(reopened.header()->node_capacity, 32u);
    EXPECT_EQ(titleOf(reopened, 1), "second");
}

TEST(GraphStore, GrowthWhoseMappingFailsShrinksTheFileBack) {
    TempDir dir;
    const std::string path = dir.file("g.tkg");
    const std::string out = runInChild([&]() -> std::string {
        tkg::Store s;
        std::string err;
        if (!s.create(path, {4, 4, 64, 0}, err)) return "create: " + err;
        addNode(s, "kept");
        const uint64_t length = s.length;
        uint8_t* base = s.base;
        // Leave room for a little more memory but not for a 256 MiB mapping.
        long pages = 0;
        FILE* statm = fopen("/proc/self/statm", "r");
        if (!statm || fscanf(statm, "%ld", &pages) != 1) return "statm";
        fclose(statm);
        const rlim_t room = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(64) << 20);
        rlimit limit{room, room};
        setrlimit(RLIMIT_AS, &limit);
        std::string result;
        {
            std::unique_lock guard(s.lock);
            if (s.relayout_unlocked(uint64_t(1) << 21, 4, 64, 0, err)) result += "grew; ";
        }
        result += err;
        struct stat st {};
        stat(path.c_str(), &st);
        if (uint64_t(st.st_size) != length || s.length != length || s.base != base) result += "; size or mapping changed";
        if (titleOf(s, 0) != "kept" || s.header()->node_capacity != 4) result += "; data changed";
        return result;
    });
    EXPECT_EQ(out, "mmap grow: Cannot allocate memory");
    tkg::Store reopened;
    std::string err;
    EXPECT_TRUE(reopened.open(path, err)) << err;
}

TEST(GraphStore, SharedReadersNeverSeeAHalfGrownFile) {
    TempDir dir;
    tkg::Store s;
    std::string err;
    ASSERT_TRUE(s.create(dir.file("g.tkg"), {1, 1, 16, 0}, err));
    addNode(s, "n0");
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!done.load()) {
            std::shared_lock guard(s.lock);
            const tkg::Header* h = s.header();
            for (uint32_t i = 0; i < h->node_count; i += 97)
                if (titleOf(s, i) != "n" + std::to_string(i)) ++bad;
        }
    });
    for (int i = 1; i < 3000; ++i) {
        {
            std::unique_lock guard(s.lock);
            s.addNode_unlocked("n" + std::to_string(i), "", tkg::NODE_NOTE, 0, err);
        }
        s.addEdge(i - 1, i, 1.0f, 0, 0, err);
    }
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(s.header()->node_count, 3000u);
}
