#include "VivirovKit/Support/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>

namespace vivirov::paths {

namespace {
std::string nonEmptyEnv(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : std::string();
}
std::string stripTrailingSlash(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}
} // namespace

std::string home() {
    std::string h = nonEmptyEnv("HOME");
    if (!h.empty()) return stripTrailingSlash(h);
    if (passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string applicationSupport() {
    std::string xdg = nonEmptyEnv("XDG_DATA_HOME");
    // The XDG rules ignore a relative path.
    if (!xdg.empty() && xdg.front() == '/') return stripTrailingSlash(xdg);
    return home() + "/.local/share";
}

std::string appData() { return applicationSupport() + "/com.dudive.vivirov"; }

std::string temporary() {
    std::string t = nonEmptyEnv("TMPDIR");
    return t.empty() ? std::string("/tmp") : stripTrailingSlash(t);
}

bool ensureDirectory(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

} // namespace vivirov::paths
