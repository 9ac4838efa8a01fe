#include <gtest/gtest.h>

#include <filesystem>

#include "VivirovVizivurad/HostTools/GitRepositoryCloner.h"
#include "VivirovVizivurad/HostTools/ProcessRegistry.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace vivirov {
namespace {

namespace fs = std::filesystem;

struct CloneFixture : ::testing::Test {
    test::TempDir dir;
    ProcessRegistry registry;
    GitRepositoryCloner cloner{{dir.file("repos"), "/usr/bin/git", 120}};

    std::string clone(const std::string& url, std::optional<std::string> dest = std::nullopt,
                      std::optional<std::string> branch = std::nullopt) {
        return cloner.gitCloneRepo(url, dest, branch, registry, {});
    }
};

TEST_F(CloneFixture, InputIsValidatedBeforeAnythingRuns) {
    const std::string hostError = "error: git_clone_repo needs an https:// URL on an allowed host (github.com, "
                                  "gitlab.com) \xE2\x80\x94 got: ";
    struct Case {
        std::string url;
        std::optional<std::string> dest, branch;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"http://github.com/a/b", {}, {}, hostError + "http://github.com/a/b"},
        {"https://example.com/a/b", {}, {}, hostError + "https://example.com/a/b"},
        {"not a url", {}, {}, hostError + "not a url"},
        {"https://user:pw@github.com/a/b", {}, {}, "error: git_clone_repo refuses URLs with embedded credentials"},
        {"https://user@github.com/a/b", {}, {}, "error: git_clone_repo refuses URLs with embedded credentials"},
        {"https://github.com/onlyowner", {}, {}, "error: could not parse a safe <owner>/<repo> from "},
        {"https://github.com/-x/repo", {}, {}, "error: could not parse a safe <owner>/<repo> from "},
        {"https://github.com/a/.git", {}, {}, "error: unsafe repo name in https://github.com/a/.git"},
        {"https://github.com/a/b$c", {}, {}, "error: unsafe repo name in "},
        {"https://github.com/a/b", "../x", {}, "error: dest must be one directory name"},
        {"https://github.com/a/b", "a/b", {}, "error: dest must be one directory name"},
        {"https://github.com/a/b", "-x", {}, "error: dest must be one directory name"},
        {"https://github.com/a/b", {}, "--upload-pack=x", "error: unsafe branch name '--upload-pack=x'."},
        {"https://github.com/a/b", {}, "/main", "error: unsafe branch name '/main'."},
        {"https://github.com/a/b", {}, "a..b", "error: unsafe branch name 'a..b'."},
        {"https://github.com/a/b", {}, "main;rm", "error: unsafe branch name 'main;rm'."},
    };
    for (const auto& c : cases) {
        std::string result = clone(c.url, c.dest, c.branch);
        EXPECT_EQ(result.rfind(c.expected, 0), 0u) << c.url << " gave " << result;
    }
    EXPECT_TRUE(fs::is_empty(dir.file("repos")));
    EXPECT_TRUE(GitRepositoryCloner::isSafeGitRef("release/1.2"));
    EXPECT_FALSE(GitRepositoryCloner::isSafeGitName(".."));
}

// A public-looking address rewritten to a local bare repository.
struct LocalRemote : CloneFixture {
    test::ScopedEnv env;
    std::string bare, work;

    void SetUp() override {
        const std::string config = dir.write("gitconfig", "[url \"file://" + dir.path() + "/remote/\"]\n"
                                                         "\tinsteadOf = https://github.com/\n"
                                                         "[user]\n\tname = T\n\temail = t@example.com\n"
                                                         "[init]\n\tdefaultBranch = main\n");
        env.set("GIT_CONFIG_GLOBAL", config).set("GIT_CONFIG_NOSYSTEM", "1");
        bare = dir.file("remote/Owner/project.git");
        work = dir.file("work");
        ASSERT_EQ(run("git init -q --bare '" + bare + "' && git init -q '" + work + "'"), 0);
        commit("one");
    }
    int run(const std::string& command) { return registry.runBash(command, 60).exit; }
    void commit(const std::string& text) {
        ASSERT_EQ(run("cd '" + work + "' && echo " + text + " > file && git add file && git commit -qm " + text +
                      " && git push -q '" + bare + "' HEAD:main"),
                  0);
    }
};

TEST_F(LocalRemote, ClonesThenPulls) {
    const std::string target = dir.file("repos") + "/Owner-project";
    std::string first = clone(" https://github.com/Owner/project.git ");
    EXPECT_EQ(first.rfind("ok: cloned https://github.com/Owner/project.git \xE2\x86\x92 " + target + " (commit ", 0),
              0u)
        << first;
    EXPECT_EQ(test::TempDir::read(target + "/file"), "one\n");

    commit("two");
    std::string second = clone("https://github.com/Owner/project", std::nullopt, "ignored-branch");
    EXPECT_EQ(second.rfind("ok: updated https://github.com/Owner/project \xE2\x86\x92 " + target, 0), 0u) << second;
    EXPECT_EQ(test::TempDir::read(target + "/file"), "two\n");

    std::string named = clone("https://github.com/Owner/project", "  mine  ", "main");
    EXPECT_EQ(named.rfind("ok: cloned", 0), 0u) << named;
    EXPECT_TRUE(fs::exists(dir.file("repos/mine/.git")));
}

TEST_F(LocalRemote, FailedCloneRemovesOnlyWhatItMade) {
    std::string result = clone("https://github.com/Owner/missing");
    EXPECT_EQ(result.rfind("error: git_clone_repo clone failed \xE2\x80\x94 git exited 128\n", 0), 0u) << result;
    EXPECT_FALSE(fs::exists(dir.file("repos/Owner-missing")));

    // A folder that was there before the call keeps what it holds.
    const std::string kept = dir.write("repos/Owner-project/notes.txt", "mine");
    EXPECT_EQ(clone("https://github.com/Owner/project").rfind("error: git_clone_repo clone failed", 0), 0u);
    EXPECT_EQ(test::TempDir::read(kept), "mine");
}

TEST_F(CloneFixture, TimeOutNamesItsReason) {
    const std::string slowGit = dir.write("slow-git", "#!/bin/sh\nsleep 600\n");
    fs::permissions(slowGit, fs::perms::owner_all);
    GitRepositoryCloner slow{{dir.file("repos"), slowGit, 1}};
    std::string result = slow.gitCloneRepo("https://GitHub.com/a/b.git", std::nullopt, std::nullopt, registry, {});
    EXPECT_EQ(result.rfind("error: git_clone_repo clone failed \xE2\x80\x94 timed out after 1s (process group killed)",
                           0),
              0u)
        << result;
    EXPECT_FALSE(fs::exists(dir.file("repos/a-b")));
}

} // namespace
} // namespace vivirov
