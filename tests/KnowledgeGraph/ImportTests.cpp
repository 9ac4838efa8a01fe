#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <set>

#include "engine/tkg/tkg_import.h"
#include "tests/KnowledgeGraph/ChildProcess.h"
#include "tests/KnowledgeGraph/GraphFixture.h"
#include "tests/support/TempDir.h"
#include "tkg.h"

using namespace vivirov::test;
namespace fs = std::filesystem;

namespace {

using Links = std::set<std::pair<std::string, std::string>>;

Links linksOf(const std::string& path) {
    char err[256] = {};
    tkg_graph* g = tkg_open(path.c_str(), err, sizeof err);
    EXPECT_NE(g, nullptr) << err;
    Links links;
    if (!g) return links;
    const auto* base = static_cast<const uint8_t*>(tkg_map_base(g));
    const auto* edges = reinterpret_cast<const tkg::Edge*>(base + tkg_edge_offset(g));
    for (uint32_t i = 0; i < tkg_edge_count(g); ++i)
        links.emplace(tkg_node_title(g, uint32_t(edges[i].source_id)), tkg_node_title(g, uint32_t(edges[i].target_id)));
    tkg_close(g);
    return links;
}

// Notes covering each link form; the map holds every file and its text.
std::map<std::string, std::string> sampleVault() {
    return {
        {"Alpha.md", "[[Beta]] text [[Beta|b]] [[ beta ]] [[Alpha]]"},
        {"Beta.md", "see [[Alpha#Goals|the plan]]"},
        {"Projects/Gamma.md", "[[ Alpha ]] [[Projects/Alpha]] [[ALPHA.md]]"},
        {"Delta.md", "![[diagram.PNG]] [[diagram.png]] [[#heading]] [[|alias]] [[]]"},
        {"Epsilon.md", "[x](Other Note.md) [y](https://example.com/a.md) [z](#Other Note.md) [t](notes.txt) "
                       "[u](Beta.md#part)"},
        {"Other Note.md", "[[Release 2.0 notes]] [[Missing]]"},
        {"Release 2.0 notes.md", "[[Other Note.txt]]"},
        {".hidden/Zeta.md", "[[Gamma]]"},
        {"Upper.MD", ""},
        {"Big.md", "[[Beta" + std::string(2097152, 'x') + "]]"},
        {"readme.txt", "[[Alpha]]"},
    };
}

void writeVault(const TempDir& dir, const std::map<std::string, std::string>& files) {
    for (const auto& [name, text] : files) dir.write("vault/" + name, text);
}

} // namespace

TEST(VaultImport, CountsAndLinksOfEveryLinkForm) {
    TempDir dir;
    const auto files = sampleVault();
    writeVault(dir, files);
    fs::create_directory_symlink(dir.file("vault/Projects"), dir.file("vault/linked"));
    tkg::ImportStats stats;
    std::string err;
    ASSERT_TRUE(tkg::importVault(dir.file("vault"), dir.file("k.tkg"), {}, stats, err)) << err;

    uint64_t bytes = 0;
    for (const auto& [name, text] : files) bytes += name.ends_with(".txt") ? 0 : text.size();
    EXPECT_EQ(stats.files, 10u) << "hidden notes count, linked folders are not followed";
    EXPECT_EQ(stats.nodes, 10u);
    EXPECT_EQ(stats.edges, 7u);
    EXPECT_EQ(stats.wiki_links, 14u);
    EXPECT_EQ(stats.markdown_links, 1u);
    EXPECT_EQ(stats.attachment_links, 2u);
    EXPECT_EQ(stats.unresolved_links, 1u);
    EXPECT_EQ(stats.self_links, 1u);
    EXPECT_EQ(stats.duplicate_links, 4u);
    EXPECT_EQ(stats.duplicate_stems, 0u);
    EXPECT_EQ(stats.bytes_read, bytes);
    EXPECT_EQ(linksOf(dir.file("k.tkg")), (Links{
                                              {"Alpha", "Beta"},
                                              {"Beta", "Alpha"},
                                              {"Gamma", "Alpha"},
                                              {"Epsilon", "Other Note"},
                                              // A dotted note name resolves as written...
                                              {"Other Note", "Release 2.0 notes"},
                                              // ...and a name with a foreign extension by its stem.
                                              {"Release 2.0 notes", "Other Note"},
                                              {"Zeta", "Gamma"},
                                          }));
}

TEST(VaultImport, FlatFunctionReportsLowCountersAndSizesTheFileOnce) {
    TempDir dir;
    writeVault(dir, {{"A.md", "[[B]] [[C]]"}, {"B.md", "x"}, {"C.md", std::string(1000, 'y')}, {"a.md", ""}});
    tkg_import_stats stats{};
    char err[128] = {};
    ASSERT_EQ(tkg_import_vault(dir.file("vault").c_str(), dir.file("k.tkg").c_str(), &stats, err, sizeof err), 0)
        << err;
    EXPECT_EQ(stats.files, 4u);
    EXPECT_EQ(stats.nodes, 4u);
    EXPECT_EQ(stats.edges, 2u);
    EXPECT_EQ(stats.wiki_links, 2u);
    EXPECT_EQ(stats.duplicate_stems, 1u);
    tkg::Store s;
    std::string message;
    ASSERT_TRUE(s.open(dir.file("k.tkg"), message));
    EXPECT_EQ(s.header()->node_capacity, 4u + 16);
    EXPECT_EQ(s.header()->edge_capacity, 2u + 16);
    EXPECT_EQ(s.header()->string_capacity, (1 + 11 + 2) + (1 + 1 + 2) + (1 + 400 + 2) + (1 + 0 + 2) + 4096u);
    EXPECT_EQ(s.header()->flags, 1u);
    std::set<std::string> titles;
    for (uint32_t i = 0; i < 4; ++i) titles.insert(s.strings() + s.nodes()[i].title_offset);
    EXPECT_EQ(titles, (std::set<std::string>{"A", "B", "C", "a"})) << "titles keep their case";
    for (uint32_t i = 0; i < 4; ++i) {
        if (s.nodes()[i].title_length == 1 && s.strings()[s.nodes()[i].title_offset] == 'C') {
            EXPECT_EQ(s.nodes()[i].content_length, 400u);
        }
    }
}

TEST(VaultImport, FailuresKeepThePreviousGraph) {
    TempDir dir;
    const std::string out = dir.write("k.tkg", "previous graph");
    dir.write("texts/a.txt", "[[b]]");
    char err[10];
    tkg_import_stats stats{};
    stats.files = 77;
    EXPECT_EQ(tkg_import_vault(dir.file("nowhere").c_str(), out.c_str(), &stats, err, sizeof err), -1);
    EXPECT_STREQ(err, "vault dir");
    char full[512];
    EXPECT_EQ(tkg_import_vault(dir.file("texts").c_str(), out.c_str(), &stats, full, sizeof full), -1);
    EXPECT_EQ(std::string(full), "no .md files under " + dir.file("texts"));
    EXPECT_EQ(tkg_import_vault(nullptr, out.c_str(), &stats, full, sizeof full), -1);
    EXPECT_STREQ(full, "null arg");
    EXPECT_EQ(stats.files, 77u) << "stats untouched on failure";
    EXPECT_EQ(readFile(out), "previous graph");

    // A failure while the new file is built leaves the old one and no
    // temporary file behind.
    writeVault(dir, {{"A.md", std::string(100000, 'a') + "[[B]]"}, {"B.md", "b"}});
    const std::string child = runInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        char e[256] = {};
        return std::to_string(tkg_import_vault(dir.file("vault").c_str(), out.c_str(), nullptr, e, sizeof e)) + " " + e;
    });
    EXPECT_EQ(child, "-1 ftruncate: File too large");
    EXPECT_EQ(readFile(out), "previous graph");

    // The new file cannot be created, or cannot take the place of what is there.
    EXPECT_EQ(tkg_import_vault(dir.file("vault").c_str(), dir.file("no/k.tkg").c_str(), nullptr, full, sizeof full), -1);
    EXPECT_STREQ(full, "open: No such file or directory");
    dir.write("occupied/file", "x");
    EXPECT_EQ(tkg_import_vault(dir.file("vault").c_str(), dir.file("occupied").c_str(), nullptr, full, sizeof full), -1);
    EXPECT_STREQ(full, "rename: Is a directory");

    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"k.tkg", "occupied", "texts", "vault"}));
}

TEST(VaultImport, ReimportLeavesAnOpenHandleReadingTheOldGraph) {
    TempDir dir;
    writeVault(dir, {{"Old.md", "[[Older]]"}, {"Older.md", ""}});
    const std::string out = dir.file("k.tkg");
    ASSERT_EQ(tkg_import_vault(dir.file("vault").c_str(), out.c_str(), nullptr, nullptr, 0), 0);
    tkg_graph* old = tkg_open(out.c_str(), nullptr, 0);
    ASSERT_NE(old, nullptr);

    TempDir other;
    std::map<std::string, std::string> bigger;
    for (int i = 0; i < 50; ++i) bigger["N" + std::to_string(i) + ".md"] = "[[N" + std::to_string(i + 1) + "]]";
    writeVault(other, bigger);
    ASSERT_EQ(tkg_import_vault(other.file("vault").c_str(), out.c_str(), nullptr, nullptr, 0), 0);

    EXPECT_EQ(tkg_node_count(old), 2u);
    char titles[64];
    EXPECT_EQ(tkg_related_titles(old, "old", 1, 8, titles, sizeof titles), 1);
    EXPECT_STREQ(titles, "Older");
    tkg_close(old);
    tkg_graph* fresh = tkg_open(out.c_str(), nullptr, 0);
    EXPECT_EQ(tkg_node_count(fresh), 50u);
    tkg_close(fresh);
}

TEST(VaultImport, ScannerEdgeCases) {
    struct Case {
        std::string body;
        std::vector<std::string> targets;
    } cases[] = {
        {"[[a]][[b]]", {"a", "b"}},
        {"[[unclosed [[x]]", {"unclosed [[x"}},
        {"[[a", {}},
        {"](b.md)", {"b.md"}},
        {"]( spaced.MD )", {"spaced.MD"}},
        {"](x.md", {}},
        {"[[a]] ](.md)", {"a", ".md"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        tkg::ImportStats stats;
        tkg::detail::scan_links(c.body, {}, stats, [&](std::string_view t, bool) { got.emplace_back(t); });
        EXPECT_EQ(got, c.targets) << c.body;
    }
    std::vector<std::string> got;
    tkg::ImportStats stats;
    tkg::ImportOptions options;
    options.scan_limit = 11;
    tkg::detail::scan_links("[[abc]] [[de]]", options, stats, [&](std::string_view t, bool) { got.emplace_back(t); });
    EXPECT_EQ(got, std::vector<std::string>{"abc"}) << "a closer that begins past the limit is not read";

    EXPECT_EQ(tkg::detail::stem_key("Projects/Alpha Plan.md"), "alpha plan");
    EXPECT_EQ(tkg::detail::stem_key("a\\B.c.d"), "b.c");
    EXPECT_EQ(tkg::detail::stem_key("Release 2.0 notes"), "release 2");
    EXPECT_EQ(tkg::detail::name_key("Release 2.0 notes"), "release 2.0 notes");
    EXPECT_EQ(tkg::detail::name_key("dir/Note.MD"), "note");
}
