// Finding files by name and lines by content, and listing trees, with the
// real find, ripgrep and grep (fakes only where argument vectors are checked).
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include "VivirovKit/Tools/Documents/DocumentTools.h"
#include "tests/DocumentTools/DocumentFixture.h"

namespace vivirov {
namespace {

class Workspace : public test::DocumentFixture {
protected:
    void SetUp() override {
        DocumentFixture::SetUp();
        work.write("tree/notes.md", "alpha line\nbeta line\n");
        work.write("tree/Notes.TXT", "Alpha upper\n");
        work.write("tree/sub/report.txt", "gamma\nalpha again\n");
        work.write("tree/sub/deep/x.log", "nothing here\n");
        root = work.file("tree");
    }

    // "found N:" and its lines, sorted, since find lists in directory order.
    static std::pair<std::string, std::vector<std::string>> split(const std::string& answer) {
        auto nl = answer.find('\n');
        std::vector<std::string> rest;
        std::string body = nl == std::string::npos ? "" : answer.substr(nl + 1);
        for (size_t s = 0; s <= body.size() && !body.empty();) {
            size_t e = body.find('\n', s);
            if (e == std::string::npos) e = body.size();
            rest.push_back(body.substr(s, e - s));
            s = e + 1;
        }
        std::sort(rest.begin(), rest.end());
        return {answer.substr(0, nl), rest};
    }

    // Runs the test body with the current directory set to `dir`.
    template <class F>
    void inDirectory(const std::string& dir, F body) {
        char saved[4096];
        ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
        ASSERT_EQ(::chdir(dir.c_str()), 0);
        body();
        ASSERT_EQ(::chdir(saved), 0);
    }

    std::string root;
};

TEST_F(Workspace, ScanFindsFilesByNameIgnoringCase) {
    auto [header, lines] = split(DocumentTools::workspaceScan(root, "  notes ", 40));
    EXPECT_EQ(header, "found 2:");
    EXPECT_EQ(lines, (std::vector<std::string>{root + "/Notes.TXT", root + "/notes.md"}));
}

TEST_F(Workspace, ScanWithABlankQueryListsEveryFileUpToTheLimit) {
    auto [all, allLines] = split(DocumentTools::workspaceScan(root, " ", 40));
    EXPECT_EQ(all, "found 4:");
    EXPECT_EQ(allLines.size(), 4u);
    EXPECT_EQ(split(DocumentTools::workspaceScan(root, "", 3)).first, "found 3:");
    EXPECT_EQ(DocumentTools::workspaceScan(root, "zzz", 40), "found 0:\n");
}

TEST_F(Workspace, ScanOfAMissingRootRunsNothing) {
    ProgramPaths::ScopedOverride find("find", fakeProgram("find", "touch " + work.file("ran")));
    EXPECT_EQ(DocumentTools::workspaceScan("~/nowhere", "x", 40), "error: root not found: " + work.path() + "/home/nowhere");
    EXPECT_FALSE(std::filesystem::exists(work.file("ran")));
}

TEST_F(Workspace, SearchFindsMatchingLinesWithRipgrep) {
    // Smart case: an all-lower-case pattern ignores case.
    auto [first, rest] = split("x\n" + DocumentTools::workspaceSearch(root, "alpha", 30));
    EXPECT_EQ(rest, (std::vector<std::string>{root + "/Notes.TXT:1:Alpha upper", root + "/notes.md:1:alpha line",
                                              root + "/sub/report.txt:2:alpha again"}));
}

TEST_F(Workspace, MatchesInFilesThatAreNotUTF8AreStillReported) {
    // A Latin-1 file name holding Latin-1 text.
    work.write("tree/legacy\xe9.txt", "alpha caf\xe9\n");
    EXPECT_EQ(DocumentTools::workspaceSearch(root, "alpha caf", 30), root + "/legacy\uFFFD.txt:1:alpha caf\uFFFD");
    EXPECT_EQ(DocumentTools::workspaceScan(root, "legacy", 40), "found 1:\n" + root + "/legacy\uFFFD.txt");
}

TEST_F(Workspace, SearchUsesGrepWhenRipgrepIsMissing) {
    ProgramPaths::ScopedOverride noRg("rg", work.file("bin/rg"));
    auto [first, rest] = split("x\n" + DocumentTools::workspaceSearch(root, "alpha", 30));
    EXPECT_EQ(rest, (std::vector<std::string>{root + "/notes.md:1:alpha line", root + "/sub/report.txt:2:alpha again"}));
}

TEST_F(Workspace, SearchAnswersForBlankAndUnmatchedPatterns) {
    EXPECT_EQ(DocumentTools::workspaceSearch(root, " \n ", 30), "error: empty pattern");
    EXPECT_EQ(DocumentTools::workspaceSearch(root, " nomatch ", 30), "no matches for nomatch under " + root);
}

TEST_F(Workspace, SearchKeepsAtMostLimitLines) {
    std::string many;
    for (int i = 0; i < 50; ++i) many += "hit " + std::to_string(i) + "\n";
    work.write("big/a.txt", many);
    work.write("big/b.txt", many);
    for (const char* program : {"rg", "grep"}) {
        std::optional<ProgramPaths::ScopedOverride> noRg;
        if (std::string(program) == "grep") noRg.emplace("rg", work.file("bin/rg"));
        std::string answer = DocumentTools::workspaceSearch(work.file("big"), "hit", 10);
        EXPECT_EQ(std::count(answer.begin(), answer.end(), '\n'), 9) << program << "\n" << answer;
    }
}

TEST_F(Workspace, PassesTheSearchProgramsTheirArguments) {
    std::string log = work.file("argv.log");
    std::string recorder = "printf '%s\\n' \"$@\" >> " + log;
    {
        ProgramPaths::ScopedOverride rg("rg", fakeProgram("rg", recorder));
        DocumentTools::workspaceSearch("-root", "pat", 7);
        EXPECT_EQ(test::TempDir::read(log), "-n\n--max-count\n7\n-S\n-e\npat\n--\n./-root\n");
    }
    std::filesystem::remove(log);
    {
        ProgramPaths::ScopedOverride rg("rg", work.file("bin/missing-rg"));
        ProgramPaths::ScopedOverride grep("grep", fakeProgram("grep", recorder));
        DocumentTools::workspaceSearch("/r", "pat", 7);
        EXPECT_EQ(test::TempDir::read(log), "-R\n-n\n-m\n7\n-e\npat\n--\n/r\n");
    }
}

TEST_F(Workspace, AnOptionShapedPatternIsSearchedForNotObeyed) {
    // ripgrep's --pre runs a program on every file it searches.
    std::string marker = work.file("pwned");
    std::string evil = fakeProgram("evil", "touch " + marker + "; cat \"$1\"");
    work.write("tree/flags.txt", "--pre=" + evil + "\n");
    std::string answer = DocumentTools::workspaceSearch(root, "--pre=" + evil, 30);
    EXPECT_FALSE(std::filesystem::exists(marker)) << answer;
    EXPECT_EQ(answer, root + "/flags.txt:1:--pre=" + evil);

    ProgramPaths::ScopedOverride noRg("rg", work.file("bin/rg"));
    EXPECT_EQ(DocumentTools::workspaceSearch(root, "--pre=" + evil, 30), root + "/flags.txt:1:--pre=" + evil);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(Workspace, AnOptionShapedRootIsAPathNotAFindAction) {
    // GNU find reads a leading "-delete" as an action on the current folder.
    inDirectory(root, [&] {
        EXPECT_EQ(DocumentTools::fileTree("-delete", 2), "");
        EXPECT_EQ(DocumentTools::workspaceScan("-delete", "", 40), "error: root not found: -delete");
        EXPECT_EQ(DocumentTools::workspaceSearch("-delete", "alpha", 30), "no matches for alpha under -delete");
        std::filesystem::create_directories("-delete");
        work.write("tree/-delete/inside.txt", "alpha inside\n");
        EXPECT_EQ(DocumentTools::fileTree("-delete", 1), "./-delete\n./-delete/inside.txt");
        EXPECT_EQ(DocumentTools::workspaceScan("-delete", "", 40), "found 1:\n./-delete/inside.txt");
    });
    EXPECT_TRUE(std::filesystem::exists(root + "/notes.md"));
    EXPECT_TRUE(std::filesystem::exists(root + "/sub/deep/x.log"));
}

TEST_F(Workspace, TreeDepthIsClampedAndOutputCappedAt200Lines) {
    std::string log = work.file("argv.log");
    {
        ProgramPaths::ScopedOverride find("find", fakeProgram("find", "echo \"$@\" >> " + log));
        DocumentTools::fileTree("/r", 0);
        DocumentTools::fileTree("/r", 9);
        DocumentTools::fileTree("/r", 3);
        EXPECT_EQ(test::TempDir::read(log), "/r -maxdepth 1 -print\n/r -maxdepth 4 -print\n/r -maxdepth 3 -print\n");
    }
    for (int i = 0; i < 249; ++i) work.write("wide/f" + std::to_string(i), "");
    std::string tree = DocumentTools::fileTree(work.file("wide"), 1);
    EXPECT_EQ(std::count(tree.begin(), tree.end(), '\n'), 199);

    std::string shallow = DocumentTools::fileTree(root, 1);
    EXPECT_EQ(shallow.find("report.txt"), std::string::npos);
    EXPECT_NE(shallow.find(root + "/sub"), std::string::npos);
}

} // namespace
} // namespace vivirov
