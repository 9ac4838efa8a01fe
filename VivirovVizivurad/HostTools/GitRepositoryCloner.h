#pragma once
// The repository clone tool: a shallow clone of a public repository from one
// of two code-hosting services into the app's repositories folder, or a
// fast-forward pull when that folder already holds the clone.
#include <string>

#include "VivirovVizivurad/HostTools/HostToolBackends.h"

namespace vivirov {

class GitRepositoryCloner final : public RepositoryCloner {
public:
    struct Options {
        std::string reposDir;                    // empty: <data>/com.dudive.vivirov/repos
        std::string git = "/usr/bin/git";
        int timeoutSeconds = 120;
    };

    GitRepositoryCloner();
    explicit GitRepositoryCloner(Options options);

    std::string gitCloneRepo(const std::string& url, const std::optional<std::string>& dest,
                             const std::optional<std::string>& branch, ProcessRegistry& registry,
                             std::stop_token stop) override;

    // The folder clones go into, created on first use.
    const std::string& reposDir();

    static bool isSafeGitName(const std::string& name);
    static bool isSafeGitRef(const std::string& ref);

private:
    Options options_;
    bool reposDirReady_ = false;
};

} // namespace vivirov
