#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/KnowledgeGraph/GraphFixture.h"
#include "tests/support/TempDir.h"
#include "tkg.h"

using namespace vivirov::test;

namespace {

struct Graph {
    TempDir dir;
    tkg_graph* g = nullptr;
    Graph(const std::vector<std::string>& titles, const std::vector<std::pair<uint64_t, uint64_t>>& links,
          bool finalize = true) {
        writeGraph(dir.file("g.tkg"), titles, links, finalize);
        char err[128] = {};
        g = tkg_open(dir.file("g.tkg").c_str(), err, sizeof err);
        EXPECT_NE(g, nullptr) << err;
    }
    ~Graph() { tkg_close(g); }
    std::vector<uint32_t> ids(const char* text, uint32_t k, uint32_t max, int32_t capacity = 64) {
        std::vector<uint32_t> out(size_t(std::max(capacity, 1)));
        const int32_t n = tkg_related_ids(g, text, k, max, out.data(), capacity);
        out.resize(size_t(std::max(n, 0)));
        return out;
    }
};

} // namespace

TEST(GraphQuery, RanksByHopThenOutgoingLinks) {
    // A -> B, C -> A, A -> D; B has three outgoing links, C one, D none.
    Graph graph({"A", "B", "C", "D", "E", "F", "G"}, {{0, 1}, {2, 0}, {0, 3}, {1, 4}, {1, 5}, {1, 6}});
    EXPECT_EQ(graph.ids("A", 1, 24), (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(graph.ids("A", 2, 24), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(graph.ids("A", 0, 24), (std::vector<uint32_t>{0}));
    EXPECT_EQ(graph.ids("A", 2, 2), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(graph.ids("A", 2, 0, 3), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(graph.ids("E", 1, 24), (std::vector<uint32_t>{4, 1})) << "incoming edges are walked too";
}

TEST(GraphQuery, WithoutAdjacencyIndexOnlyIncomingEdgesAreWalked) {
    Graph graph({"A", "B", "C"}, {{0, 1}, {2, 0}}, false);
    EXPECT_EQ(graph.ids("A", 1, 24), (std::vector<uint32_t>{0, 2}));
}

TEST(GraphQuery, RelatedTitlesFitTheBuffer) {
    Graph graph({"Root", "Alpha", "Beta", "", "Gamma"}, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {3, 4}});
    char buf[32];
    EXPECT_EQ(tkg_related_titles(graph.g, "root", 1, 24, buf, 8), 1);
    EXPECT_STREQ(buf, "Alpha");
    EXPECT_EQ(tkg_related_titles(graph.g, "root", 1, 24, buf, 12), 2);
    EXPECT_STREQ(buf, "Alpha\nBeta");
    EXPECT_EQ(tkg_related_titles(graph.g, "root", 1, 24, buf, 10), 1) << "no room for the zero byte";
    EXPECT_EQ(tkg_related_titles(graph.g, "root", 2, 24, buf, sizeof buf), 3) << "untitled nodes are skipped";
    EXPECT_STREQ(buf, "Alpha\nBeta\nGamma");
    EXPECT_EQ(tkg_related_titles(graph.g, "root", 0, 24, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(tkg_related_titles(graph.g, "gamma", 0, 24, buf, 1), -1);
    EXPECT_EQ(buf[0], 0);
}

TEST(GraphQuery, WalkStopsAtItsCap) {
    std::vector<std::string> titles{"Hub"};
    std::vector<std::pair<uint64_t, uint64_t>> links;
    for (int i = 1; i <= 1000; ++i) {
        titles.push_back("leaf" + std::to_string(i));
        links.emplace_back(0, i);
    }
    Graph graph(titles, links);
    EXPECT_EQ(graph.ids("hub", 2, 24).size(), 25u);
    EXPECT_EQ(graph.ids("hub", 2, 100, 64).size(), 64u);
    EXPECT_EQ(graph.ids("hub", 2, 0, 2000).size(), 1001u);
    // The walk's cap (max x 8 + 8 = 16 nodes including the match) bounds what titles can list.
    char buf[8192];
    EXPECT_EQ(tkg_related_titles(graph.g, "hub", 2, 1, buf, sizeof buf), 1);
    EXPECT_EQ(tkg_related_titles(graph.g, "hub", 1, 0, buf, sizeof buf), 1000);
}

TEST(GraphQuery, FindPrefersWholeTextThenLongestTokenThenShortestContainingTitle) {
    Graph graph({"Project Alpha notes!", "notes", "alpha", "Project", "A Project Alpha Notes! long", "cd",
                 "xx AB CD yy", "ab cd z"},
                {});
    struct Case {
        const char* text;
        int64_t id;
    } cases[] = {
        {"PROJECT alpha Notes!", 0},
        {"project alpha notes", 3},   // longest token that is a title
        {"about alpha and notes", 2}, // equal lengths: first in the text
        {"Projec", 3},                // title containing the query, shortest wins
        {"zzz Projec", 3},            // title containing the whole query: none; the token...
        {"ab cd", 7},                 // no tokens: only titles containing the text
        {"xx ab", 6},
        {"", -1},
        {"nothing here", -1},
    };
    for (const Case& c : cases) EXPECT_EQ(tkg_find_by_title(graph.g, c.text), c.id) << c.text;

    // Among titles that contain a word, the shortest and then the lowest id wins,
    // whatever the order of the words and of the nodes.
    Graph scan({std::string(300, 'k') + " zebra", "long zebra title", "b zebra", "a zebra", "Quagga", "x quagga"}, {});
    EXPECT_EQ(tkg_find_by_title(scan.g, "zebr"), 2);
    EXPECT_EQ(tkg_find_by_title(scan.g, "the zebr or quagg"), 4);
    EXPECT_EQ(tkg_find_by_title(scan.g, std::string(299, 'k').c_str()), 0);
}

TEST(GraphQuery, NullAndOutOfRangeArguments) {
    uint32_t ids[4];
    char buf[16];
    EXPECT_EQ(tkg_node_count(nullptr), 0u);
    EXPECT_EQ(tkg_edge_count(nullptr), 0u);
    EXPECT_EQ(tkg_node_title(nullptr, 0), nullptr);
    EXPECT_EQ(tkg_map_base(nullptr), nullptr);
    EXPECT_EQ(tkg_map_size(nullptr), 0u);
    EXPECT_EQ(tkg_node_offset(nullptr), 0u);
    EXPECT_EQ(tkg_edge_offset(nullptr), 0u);
    EXPECT_EQ(tkg_find_by_title(nullptr, "a"), -1);
    EXPECT_EQ(tkg_related_ids(nullptr, "a", 1, 1, ids, 4), -1);
    EXPECT_EQ(tkg_related_titles(nullptr, "a", 1, 1, buf, 16), -1);
    tkg_close(nullptr);
    char err[32];
    EXPECT_EQ(tkg_open(nullptr, err, sizeof err), nullptr);
    EXPECT_STREQ(err, "null path");

    Graph graph({"A", "B"}, {{0, 1}});
    EXPECT_EQ(tkg_node_title(graph.g, 2), nullptr);
    EXPECT_STREQ(tkg_node_title(graph.g, 1), "B");
    EXPECT_EQ(tkg_find_by_title(graph.g, nullptr), -1);
    EXPECT_EQ(tkg_related_ids(graph.g, "a", 1, 1, ids, 0), -1);
    EXPECT_EQ(tkg_related_ids(graph.g, "a", 1, 1, nullptr, 4), -1);
    EXPECT_EQ(tkg_related_ids(graph.g, "zzz", 1, 1, ids, 4), -1);
    EXPECT_EQ(tkg_related_ids(graph.g, "a", 1, 1, ids, 1), 1);
    EXPECT_EQ(tkg_map_size(graph.g), tkg_edge_offset(graph.g) + 8192);
    EXPECT_EQ(tkg_node_offset(graph.g), 4096u);
}

TEST(GraphQuery, ConcurrentQueriesOnOneHandle) {
    std::vector<std::string> titles;
    std::vector<std::pair<uint64_t, uint64_t>> links;
    for (int i = 0; i < 300; ++i) {
        titles.push_back("note " + std::to_string(i));
        links.emplace_back(i, (i * 7 + 1) % 300);
    }
    Graph graph(titles, links);
    const std::vector<uint32_t> expected = graph.ids("note 5", 2, 24);
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            char buf[512];
            for (int i = 0; i < 300; ++i) {
                if (t == 2) {
                    if (!tkg_node_title(graph.g, uint32_t(i))) ++mismatches;
                    tkg_related_titles(graph.g, ("note " + std::to_string(i)).c_str(), 2, 8, buf, sizeof buf);
                } else if (graph.ids("note 5", 2, 24) != expected) {
                    ++mismatches;
                }
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}
